# cmake -P script: install, configure the consumer against the prefix, build it and run it.
# Each step must succeed; the first failure ends the script with its output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  message(STATUS "${what}: ok\n${out}")
endfunction()

file(REMOVE_RECURSE ${WORK})
step("install" ${CMAKE_COMMAND} --install ${VANTREL_BUILD} --prefix ${WORK}/prefix)
# Only the prefix may provide the package: no search of the build tree or the user's registry.
step("configure" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK}/build -G ${GENERATOR}
     -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}"
     -DCMAKE_PREFIX_PATH=${WORK}/prefix -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
     -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
step("build" ${CMAKE_COMMAND} --build ${WORK}/build)
step("run" ${WORK}/build/consumer)
