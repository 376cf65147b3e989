# The package tests' fixture: builds the ZIP with CPack into a directory of its own and unpacks it, where
# the tests that follow find it (tests/package, tests/msvc). The ZIP must hold exactly one top folder,
# named as the file.
#   cmake -DBUILD_DIR= -DWORK= -DNAME=SiPassVormekGateway-<version>-<arch> -P Unpack.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP -B ${WORK} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
    message(FATAL_ERROR "cpack failed:\n${out}")
endif()
set(zip ${WORK}/${NAME}.zip)
if(NOT EXISTS ${zip})
    message(FATAL_ERROR "cpack made no ${NAME}.zip:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK}/_CPack_Packages)
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${WORK}/unpacked)
file(GLOB top RELATIVE ${WORK}/unpacked ${WORK}/unpacked/*)
if(NOT top STREQUAL NAME)
    message(FATAL_ERROR "${NAME}.zip should hold the one folder ${NAME}/, it holds: ${top}")
endif()
message("${NAME}.zip unpacked into ${WORK}/unpacked")
