# Checks the unpacked package (Unpack.cmake): exactly the files a host integrator needs, an MSVC import
# library that names every export, binaries that import only Windows system DLLs, documents whose paths
# are the package's own, a .NET binding that compiles on its own, and `cmake --install` giving the same
# files byte for byte.
#   cmake -DBUILD_DIR= -DPACKAGE=<top folder> -DWORK= -DOBJDUMP= -DMCS= -P CheckPackage.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

set(expected
    bin/SiPassVormekGateway.dll bin/SiPassSim.dll bin/gwhost.exe
    include/SiPassVormekGateway.h include/SiPassVormekGatewayVersion.h include/SiPassSimulator.h
    lib/libSiPassVormekGateway.dll.a lib/SiPassVormekGateway.lib lib/SiPassVormekGateway.def
    examples/c/host.c bindings/dotnet/SiPassVormekGateway.cs
    doc/README.md doc/integration.md doc/site-format.md
    sites/office.json sites/outage.json sites/silent-outage.json sites/campus.json)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${PACKAGE} ${PACKAGE}/*)
set(missing ${expected})
list(REMOVE_ITEM missing ${files})
set(unexpected ${files})
list(REMOVE_ITEM unexpected ${expected})
if(missing OR unexpected)
    message(FATAL_ERROR "the package lacks: ${missing}\nthe package should not hold: ${unexpected}")
endif()

# The MSVC import library names every export of the .def.
file(STRINGS ${PACKAGE}/lib/SiPassVormekGateway.def exports REGEX "^    [A-Za-z_]+$")
file(READ ${PACKAGE}/lib/SiPassVormekGateway.lib library HEX)
foreach(export IN LISTS exports)
    string(STRIP "${export}" export)
    string(HEX "${export}" hex)
    if(NOT library MATCHES "${hex}")
        message(FATAL_ERROR "SiPassVormekGateway.lib has no ${export}")
    endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SystemImports.cmake)
foreach(binary bin/SiPassVormekGateway.dll bin/SiPassSim.dll bin/gwhost.exe)
    check_system_imports(${OBJDUMP} ${PACKAGE}/${binary} dump)
endforeach()

# The documents speak of the package: every path they quote under one of its folders exists, and none
# leads into the source tree or a build directory, which the integrator does not have.
file(GLOB documents ${PACKAGE}/doc/*.md)
foreach(document IN LISTS documents)
    get_filename_component(name ${document} NAME)
    file(READ ${document} text)
    if(text MATCHES "(^|[^A-Za-z0-9_.-])((scripts|build|src|sim|tests|tools|docs|cmake)/[^ `\n]*)")
        message(FATAL_ERROR "doc/${name} speaks of ${CMAKE_MATCH_2}, which the package does not hold")
    endif()
    string(REGEX MATCHALL "`[^`\n]+`" quoted "${text}")
    foreach(path IN LISTS quoted)
        string(REGEX REPLACE "^`|`$" "" path "${path}")
        if(path MATCHES "^(bin|include|lib|examples|bindings|doc|sites)/[^ <>*]+$" AND NOT EXISTS ${PACKAGE}/${path})
            message(FATAL_ERROR "doc/${name} speaks of ${path}, which the package does not hold")
        endif()
    endforeach()
endforeach()
file(READ ${PACKAGE}/doc/README.md readme)
if(NOT readme MATCHES "`${NAME}/`")
    message(FATAL_ERROR "doc/README.md does not name the ZIP's top folder ${NAME}/")
endif()

# The .NET binding compiles by itself, as an integrator adds it to a project.
execute_process(COMMAND ${MCS} -nologo -warnaserror -target:library -out:${WORK}/binding.dll
                        ${PACKAGE}/bindings/dotnet/SiPassVormekGateway.cs
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
    message(FATAL_ERROR "the packaged .NET binding does not compile on its own:\n${out}")
endif()

# `cmake --install` gives the same files as the ZIP, stripped binaries included.
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/installed
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(failed)
    message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${WORK}/installed ${WORK}/installed/*)
if(NOT installed STREQUAL files)
    message(FATAL_ERROR "cmake --install gives\n  ${installed}\nthe ZIP holds\n  ${files}")
endif()
foreach(file IN LISTS files)
    file(SHA256 ${PACKAGE}/${file} zipped)
    file(SHA256 ${WORK}/installed/${file} copied)
    if(NOT zipped STREQUAL copied)
        message(FATAL_ERROR "${file} differs between the ZIP and cmake --install")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
list(LENGTH files count)
message("the package: the ${count} files expected, the same as cmake --install gives; its binaries import "
        "only Windows system DLLs; its documents name only its own paths")
