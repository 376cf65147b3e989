# What `cmake --install` puts into a prefix and CPack into one ZIP per architecture, whose files lie under
# one top folder SiPassVormekGateway-<version>-<arch>/ (doc/README.md, made from cmake/PackageReadme.md.in,
# describes the layout to the integrator):
#   bin/       SiPassVormekGateway.dll, SiPassSim.dll (the simulated client), gwhost.exe
#   include/   SiPassVormekGateway.h and its generated version header; SiPassSimulator.h (the simulator
#              registered for one process)
#   lib/       libSiPassVormekGateway.dll.a (MinGW), SiPassVormekGateway.lib (MSVC), SiPassVormekGateway.def
#   examples/  c/host.c, the plain C host
#   bindings/  dotnet/SiPassVormekGateway.cs, the .NET binding
#   doc/       README.md (the package's own), integration.md, site-format.md
#   sites/     the example site files
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

# Binaries are installed stripped, as CPack packs them, so that `cmake --install` and the ZIP hold the same
# files; the build tree's bin/ keeps them with their debug information (running the install script with
# -DCMAKE_INSTALL_DO_STRIP=0 keeps it too). strip writes the time it runs into a PE file's header unless
# SOURCE_DATE_EPOCH names one: the install script names the time of the configuration (or the caller's
# SOURCE_DATE_EPOCH), so that a ZIP and an installation made at different times hold the same bytes.
string(TIMESTAMP GATEWAY_STRIP_EPOCH "%s" UTC)
install(CODE "if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)
    set(CMAKE_INSTALL_DO_STRIP 1)
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} ${GATEWAY_STRIP_EPOCH})
endif()")
install(TARGETS SiPassVormekGateway RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS SiPassSim gwhost RUNTIME DESTINATION bin)
install(FILES include/SiPassVormekGateway.h ${PROJECT_BINARY_DIR}/include/SiPassVormekGatewayVersion.h
              sim/include/SiPassSimulator.h DESTINATION include)
install(FILES ${GATEWAY_MSVC_IMPORT_LIB} src/api/SiPassVormekGateway.def DESTINATION lib)
install(FILES examples/c/host.c DESTINATION examples/c)
install(FILES bindings/dotnet/SiPassVormekGateway.cs DESTINATION bindings/dotnet)

# The package's README: its layout and the build lines for the C example with this architecture's MinGW
# compilers, MSVC, clang-cl and Debian's clang (the package tests run every line but MSVC's as it stands).
if(GATEWAY_ARCH STREQUAL x86)
    set(GATEWAY_MINGW_TRIPLET i686-w64-mingw32)
    set(GATEWAY_DEBIAN_ARCH i686)
    set(GATEWAY_CLANG_CL_ARCH -m32)
else()
    set(GATEWAY_MINGW_TRIPLET x86_64-w64-mingw32)
    set(GATEWAY_DEBIAN_ARCH x86-64)
    set(GATEWAY_CLANG_CL_ARCH -m64)
endif()
configure_file(cmake/PackageReadme.md.in ${PROJECT_BINARY_DIR}/doc/README.md @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/doc/README.md docs/integration.md docs/site-format.md DESTINATION doc)
install(FILES examples/sites/office.json examples/sites/outage.json examples/sites/silent-outage.json
              ${CMAKE_BINARY_DIR}/sites/campus.json
        DESTINATION sites)

# What the package holds and nothing else (no test): `cmake --workflow --preset package-<arch>` builds this
# target and makes the ZIP.
add_custom_target(package_files DEPENDS SiPassVormekGateway SiPassSim gwhost msvc_import_library example_sites)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME SiPassVormekGateway)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME SiPassVormekGateway-${PROJECT_VERSION}-${GATEWAY_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
