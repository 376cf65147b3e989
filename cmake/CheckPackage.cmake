# Builds the ZIP with CPack into a directory of its own, unpacks it and checks what it holds: every file
# a host integrator needs, and DLLs and programs that import only Windows system DLLs.
#   cmake -DBUILD_DIR= -DOBJDUMP= -DNAME=SiPassVormekGateway-<version>-<arch> -P CheckPackage.cmake
cmake_minimum_required(VERSION 3.25)
set(work ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP -B ${work} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
    message(FATAL_ERROR "cpack failed:\n${out}")
endif()
set(zip ${work}/${NAME}.zip)
if(NOT EXISTS ${zip})
    message(FATAL_ERROR "cpack made no ${NAME}.zip:\n${out}")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${work}/unpacked)
set(top ${work}/unpacked/${NAME})

set(expected
    bin/SiPassVormekGateway.dll bin/SiPassSim.dll bin/gwhost.exe
    include/SiPassVormekGateway.h include/SiPassVormekGatewayVersion.h
    lib/libSiPassVormekGateway.dll.a lib/SiPassVormekGateway.lib lib/SiPassVormekGateway.def
    doc/README.md doc/site-format.md doc/integration.md sites/office.json sites/outage.json sites/campus.json)
foreach(file IN LISTS expected)
    if(NOT EXISTS ${top}/${file})
        message(FATAL_ERROR "the package lacks ${file}")
    endif()
endforeach()

# The MSVC import library names every export of the .def.
file(STRINGS ${top}/lib/SiPassVormekGateway.def exports REGEX "^    [A-Za-z_]+$")
file(READ ${top}/lib/SiPassVormekGateway.lib library HEX)
foreach(export IN LISTS exports)
    string(STRIP "${export}" export)
    string(HEX "${export}" hex)
    if(NOT library MATCHES "${hex}")
        message(FATAL_ERROR "SiPassVormekGateway.lib has no ${export}")
    endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/SystemImports.cmake)
foreach(binary bin/SiPassVormekGateway.dll bin/SiPassSim.dll bin/gwhost.exe)
    check_system_imports(${OBJDUMP} ${top}/${binary} dump)
endforeach()
file(REMOVE_RECURSE ${work})
message("${NAME}.zip: complete; its binaries import only Windows system DLLs")
