# Installation: the service (bin), the runtime library and the messaging
# library on top of it, with their C headers (include/kvo), and a CMake
# package, so that the controller's other modules build against them with
# find_package(kvoruntime) and link kvo::kvoruntime, or kvo::kvomessaging
# (which brings the runtime), from C or C++.  Only the service and the
# libraries are installed: nothing here needs the tests.
include(CMakePackageConfigHelpers)

set(KVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvoruntime)

install(TARGETS kvogdbt
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(TARGETS kvoruntime kvomessaging EXPORT kvoruntimeTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

file(GLOB kvo_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/runtime/include/*.h
     ${PROJECT_SOURCE_DIR}/messaging/include/*.h)
install(FILES ${kvo_public_headers}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kvo COMPONENT runtime)

# A sanitizer build's library needs the sanitizer runtimes wherever it is
# linked; say so in the package instead of leaving consumers to guess (the
# messaging library passes it on through its link to the runtime).
if(KVO_SANITIZE)
  set_property(TARGET kvoruntime APPEND PROPERTY INTERFACE_LINK_OPTIONS
               $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
endif()

install(EXPORT kvoruntimeTargets NAMESPACE kvo::
        DESTINATION ${KVO_INSTALL_CMAKEDIR} COMPONENT runtime)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kvoruntimeConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kvoruntimeConfig.cmake
  INSTALL_DESTINATION ${KVO_INSTALL_CMAKEDIR})
# The version file also refuses a package built for another pointer size,
# so a host build cannot pick up a target install by mistake.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kvoruntimeConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kvoruntimeConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kvoruntimeConfigVersion.cmake
        DESTINATION ${KVO_INSTALL_CMAKEDIR} COMPONENT runtime)
