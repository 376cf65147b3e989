# What `cmake --install` puts into a prefix and CPack into one ZIP per architecture:
#   bin/      SiPassVormekGateway.dll, SiPassSim.dll (the simulated client), gwhost.exe
#   include/  SiPassVormekGateway.h and its generated version header
#   lib/      libSiPassVormekGateway.dll.a (MinGW), SiPassVormekGateway.lib (MSVC), SiPassVormekGateway.def
#   doc/      README.md and docs/*.md;  sites/  the example site files
include(GNUInstallDirs)

# The MSVC import library, made from the .def (the one list of exports) by llvm-dlltool.
find_program(LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 REQUIRED)
if(GATEWAY_ARCH STREQUAL x86)
    set(GATEWAY_DLLTOOL_MACHINE i386)
else()
    set(GATEWAY_DLLTOOL_MACHINE i386:x86-64)
endif()
set(GATEWAY_MSVC_IMPORT_LIB ${CMAKE_BINARY_DIR}/lib/SiPassVormekGateway.lib)
add_custom_command(
    OUTPUT ${GATEWAY_MSVC_IMPORT_LIB}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${LLVM_DLLTOOL} -m ${GATEWAY_DLLTOOL_MACHINE} -D SiPassVormekGateway.dll
            -d ${PROJECT_SOURCE_DIR}/src/api/SiPassVormekGateway.def -l ${GATEWAY_MSVC_IMPORT_LIB}
    DEPENDS ${PROJECT_SOURCE_DIR}/src/api/SiPassVormekGateway.def
    COMMENT "MSVC import library SiPassVormekGateway.lib")
add_custom_target(msvc_import_library ALL DEPENDS ${GATEWAY_MSVC_IMPORT_LIB})

install(TARGETS SiPassVormekGateway RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS SiPassSim gwhost RUNTIME DESTINATION bin)
install(FILES include/SiPassVormekGateway.h ${PROJECT_BINARY_DIR}/include/SiPassVormekGatewayVersion.h
        DESTINATION include)
install(FILES ${GATEWAY_MSVC_IMPORT_LIB} src/api/SiPassVormekGateway.def DESTINATION lib)
install(FILES README.md DESTINATION doc)
install(DIRECTORY docs/ DESTINATION doc FILES_MATCHING PATTERN "*.md")
install(FILES examples/sites/office.json examples/sites/outage.json ${CMAKE_BINARY_DIR}/sites/campus.json
        DESTINATION sites)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME SiPassVormekGateway)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME SiPassVormekGateway-${PROJECT_VERSION}-${GATEWAY_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
