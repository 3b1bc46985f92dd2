# Installation: the service (bin), the runtime library and the messaging
# library on top of it, with their C headers (include/kvo), and a CMake
# package, so that the controller's other modules build against them with
# find_package(kvoruntime) and link kvo::kvoruntime, or kvo::kvomessaging
# (which brings the runtime), from C or C++; and the tools (bin): the frame
# tool kvomsg in every build, the board's included, and on the host the
# simulated controller kvosim and kvocrkey with the libraries the device
# emulation loads into the programs it runs (lib).  Nothing here needs the
# tests.
include(CMakePackageConfigHelpers)

set(KVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvoruntime)

install(TARGETS kvogdbt
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
install(TARGETS kvomsg
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# The shared libraries among the targets a tool is built from, found by
# walking its link and build dependencies, so that whatever the emulation
# preloads is installed under whatever name it has.
function(kvo_shared_libraries_of out)
  set(todo ${ARGN})
  set(seen)
  set(libs)
  while(todo)
    list(POP_FRONT todo t)
    if(NOT TARGET ${t} OR t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    get_target_property(imported ${t} IMPORTED)
    if(imported)
      continue()
    endif()
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
      list(APPEND libs ${t})
    endif()
    foreach(prop LINK_LIBRARIES MANUALLY_ADDED_DEPENDENCIES)
      get_target_property(deps ${t} ${prop})
      if(deps)
        list(APPEND todo ${deps})
      endif()
    endforeach()
  endwhile()
  set(${out} ${libs} PARENT_SCOPE)
endfunction()

set(kvo_host_tools)
foreach(tool kvosim kvocrkey)
  if(TARGET ${tool})
    list(APPEND kvo_host_tools ${tool})
  endif()
endforeach()
if(kvo_host_tools)
  install(TARGETS ${kvo_host_tools}
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  kvo_shared_libraries_of(kvo_preloads ${kvo_host_tools})
  if(kvo_preloads)
    install(TARGETS ${kvo_preloads}
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools)
  endif()
endif()

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
