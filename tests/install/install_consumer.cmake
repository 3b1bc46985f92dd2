# Run by CTest (cmake -P): install, check the layout, build and run the consumer.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${ARGN}\n${out}\n${err}")
  endif()
  set(run_out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${KVO_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${KVO_WORK_DIR})

set(cfg)
if(KVO_CONFIG)
  set(cfg --config ${KVO_CONFIG})
endif()
run("install" ${CMAKE_COMMAND} --install ${KVO_BUILD_DIR} --prefix ${prefix} ${cfg})

foreach(f bin/kvogdbt bin/kvomsg include/kvo/kvoruntime.h include/kvo/kvolog.h include/kvo/kvopaths.h
          include/kvo/kvosegments.h include/kvo/kvomessaging.h lib*/libkvoruntime.a lib*/libkvomessaging.a)
  file(GLOB_RECURSE found ${prefix}/${f})
  if(NOT found)
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The host tools run from the prefix alone: kvosim's service and kvocrkey's preload installed.
if(EXISTS ${prefix}/bin/kvosim)
  run("kvosim --help" ${prefix}/bin/kvosim --help)
  string(FIND "${run_out}" "(default ${prefix}/bin/kvogdbt)" at)
  run("kvocrkey" sleep 2 COMMAND ${prefix}/bin/kvocrkey -- /bin/sh -c "printf %s \"$LD_PRELOAD\"")
  if(at EQUAL -1 OR NOT run_out MATCHES "^${prefix}/bin/[.][.]/lib[^:]*/libkvocrkeydev[.]so")
    message(FATAL_ERROR "installed tools use the build tree: preload '${run_out}'")
  endif()
endif()

set(conf -S ${KVO_CONSUMER_DIR} -B ${KVO_WORK_DIR}/build -G ${KVO_GENERATOR}
    -DCMAKE_BUILD_TYPE=${KVO_CONFIG})
if(KVO_TOOLCHAIN)
  # A cross build finds packages only under its roots: the prefix becomes one.
  list(APPEND conf -DCMAKE_TOOLCHAIN_FILE=${KVO_TOOLCHAIN} -DCMAKE_FIND_ROOT_PATH=${prefix})
else()
  list(APPEND conf -DCMAKE_C_COMPILER=${KVO_C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
endif()
run("configure consumer" ${CMAKE_COMMAND} ${conf})
run("build consumer" ${CMAKE_COMMAND} --build ${KVO_WORK_DIR}/build ${cfg})

file(GLOB_RECURSE exe ${KVO_WORK_DIR}/build/kvoconsumer)
run("run consumer" ${KVO_EMULATOR} ${exe})
message(STATUS "${run_out}")
