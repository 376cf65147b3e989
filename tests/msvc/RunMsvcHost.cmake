# Builds MsvcHost.c as an MSVC integrator would, from the unpacked package only (its include/, its
# lib/SiPassVormekGateway.lib), and runs it under Wine beside the package's DLLs against msvc-site.json.
#   cmake -DCLANG_CL= -DLLD_LINK= -DMSVC_TARGET= -DMSVC_MACHINE= -DWINE_SDK= -DSDK_LIB= -DPACKAGE=<top folder>
#         -DWORK= -DSOURCE_DIR= -DEMULATOR= -DOBJDUMP= -P RunMsvcHost.cmake
cmake_minimum_required(VERSION 3.25)

function(run what)
    execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed OUTPUT_VARIABLE out
                    ERROR_VARIABLE out)
    if(failed)
        message(FATAL_ERROR "${what} failed (${failed}):\n${out}")
    endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(GLOB dlls ${PACKAGE}/bin/*.dll)
file(COPY ${dlls} ${SOURCE_DIR}/msvc-site.json DESTINATION ${WORK})
set(cl ${CLANG_CL} --target=${MSVC_TARGET} /nologo /X /W4 /WX /I${PACKAGE}/include)

# The header alone, with nothing but the compiler's own headers (no C runtime, no Windows SDK), as C and
# as C++: every static_assert on the records' layout holds under MSVC's rules.
file(WRITE ${WORK}/HeaderAlone.c "#include \"SiPassVormekGateway.h\"\n")
run("the header alone as C" ${cl} /Zs /TC -- ${WORK}/HeaderAlone.c)
run("the header alone as C++" ${cl} /Zs /TP -- ${WORK}/HeaderAlone.c)

run("clang-cl MsvcHost.c" ${cl} /imsvc ${WINE_SDK}/msvcrt /imsvc ${WINE_SDK}/windows /O1 /c
    /Fo${WORK}/MsvcHost.obj -- ${SOURCE_DIR}/MsvcHost.c)
set(link_options /nologo /machine:${MSVC_MACHINE} /subsystem:console /out:${WORK}/msvc_host.exe)
if(MSVC_MACHINE STREQUAL x86)
    list(APPEND link_options /safeseh) # every input, the package's import library included, must allow it
endif()
run("lld-link msvc_host.exe" ${LLD_LINK} ${link_options} ${WORK}/MsvcHost.obj /libpath:${PACKAGE}/lib
    /libpath:${SDK_LIB} SiPassVormekGateway.lib ole32.lib uuid.lib kernel32.lib)

# The host calls every export: each name of the package's .def is in its import table.
execute_process(COMMAND ${OBJDUMP} -p ${WORK}/msvc_host.exe OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
file(STRINGS ${PACKAGE}/lib/SiPassVormekGateway.def exports REGEX "^    [A-Za-z_]+$")
foreach(export IN LISTS exports)
    string(STRIP "${export}" export)
    if(NOT dump MATCHES "[ \t]${export}[\r\n]")
        message(FATAL_ERROR "MsvcHost.c does not call ${export}")
    endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -E env SIPASS_SIM_SITE=msvc-site.json ${EMULATOR} msvc_host.exe
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REPLACE "\r" "" out "${out}")
message("${out}")
if(failed OR NOT out MATCHES "MSVC host: [1-9][0-9]* checks, 0 failed\n")
    message(FATAL_ERROR "msvc_host.exe failed (exit code ${failed})")
endif()
