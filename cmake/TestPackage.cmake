# Installs a Windows build into a fresh prefix, then configures and builds the
# sample game (examples/) against that prefix alone, as an integrator would.
#   cmake -DBINARY_DIR=<build> -DSOURCE_DIR=<source> -DTOOLCHAIN=<file> -DBUILD_TYPE=<type>
#         -P cmake/TestPackage.cmake
# The game lands in <build>/sample_game/, the handler beside it.
cmake_minimum_required(VERSION 3.25)
set(prefix ${BINARY_DIR}/package)
set(sample ${BINARY_DIR}/sample_game)
file(REMOVE_RECURSE ${prefix} ${sample})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc})")
  endif()
endfunction()

run("Installing the package" ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix})
# find_package by the package's folder: the cross toolchain looks for packages
# under the compiler's own root only.
run("Configuring the sample game" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${sample} -G Ninja
    --toolchain ${TOOLCHAIN} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    -DNelkoCrashHandler_DIR=${prefix}/lib/cmake/NelkoCrashHandler)
run("Building the sample game" ${CMAKE_COMMAND} --build ${sample})
foreach(file sample_game.exe NelkoCrashHandler.exe)
  if(NOT EXISTS ${sample}/${file})
    message(FATAL_ERROR "The sample game's build has no ${file}")
  endif()
endforeach()
message(STATUS "The sample game built against the package in ${prefix}")
