# Installs a build tree into a fresh prefix, checks what the prefix holds, builds a one-file program
# against the installed package and runs it and the installed inspect tool on the sample data.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DCXX=...] -P install_consumer.cmake
foreach(v BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "${v} is not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f lib/libanimator.so lib/libornhost.so bin/animator_host bin/animator_inspect bin/make_sample_data
          include/animator/animator/library/AnimationManager.h include/animator/animator/debug/AnimationBlender2.h
          include/animator/host/Vfs.h include/animator/refhost/CpuBackend.h
          share/animator/shaders/animator/animation_compute.fx
          lib/cmake/animator/animatorConfig.cmake lib/cmake/animator/animatorConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(EXISTS ${prefix}/include/animator/refhost/program)
  message(FATAL_ERROR "the host program's sources were installed as headers")
endif()

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package -B ${WORK_DIR}/build
              -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
if(CXX)
  list(APPEND configure -DCMAKE_CXX_COMPILER=${CXX})
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer ${SOURCE_DIR}/data)
message("${run_output}")
if(NOT run_output MATCHES "animator 0\\.1\\.0: biped has 9 clips")
  message(FATAL_ERROR "unexpected consumer output")
endif()
# The installed tools find the installed libraries.
run(${prefix}/bin/animator_inspect --skeleton biped ${SOURCE_DIR}/data/animations)

file(REMOVE_RECURSE ${WORK_DIR})
