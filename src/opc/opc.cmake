# The OPC DA core library (telegate_opc), included from the root CMakeLists.txt after
# telegate_library(telegate_opc src/opc ...).
#
# widl generates the OPC interface header from idl/OpcDa.idl at build time, on every
# platform, so the vtables the core implements are exactly the published ones. The
# COM ABI comes from opc/com: the SDK on Windows, our own set elsewhere (whose
# posix/ folder stands in for the SDK headers the generated header includes).
find_program(TELEGATE_WIDL NAMES widl x86_64-w64-mingw32-widl i686-w64-mingw32-widl REQUIRED)
set(_opc_dir ${CMAKE_CURRENT_SOURCE_DIR}/src/opc)
set(_opc_gen ${CMAKE_BINARY_DIR}/generated/opc)
add_custom_command(
  OUTPUT ${_opc_gen}/OpcDa.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_opc_gen}
  COMMAND ${TELEGATE_WIDL} -h -I ${_opc_dir}/idl/base -o ${_opc_gen}/OpcDa.h ${_opc_dir}/idl/OpcDa.idl
  DEPENDS ${_opc_dir}/idl/OpcDa.idl ${_opc_dir}/idl/base/objidl.idl ${_opc_dir}/idl/base/oaidl.idl
  COMMENT "widl: OpcDa.h")
add_custom_target(telegate_opc_idl DEPENDS ${_opc_gen}/OpcDa.h)
add_dependencies(telegate_opc telegate_opc_idl)
file(GLOB _opc_com_srcs CONFIGURE_DEPENDS ${_opc_dir}/com/*.cpp)
target_sources(telegate_opc PRIVATE ${_opc_com_srcs})
target_include_directories(telegate_opc PUBLIC ${_opc_gen})
if(NOT WIN32)
  target_include_directories(telegate_opc PUBLIC ${_opc_dir}/com/posix)
  target_compile_definitions(telegate_opc PUBLIC COM_NO_WINDOWS_H)
endif()

# The Windows side of the COM ABI check: the cross compiler reads the SDK headers
# and the generated OPC header against the table our own declarations are tested
# against (tests/opc/AbiTable.h). Only where the cross compiler is installed.
if(TELEGATE_TESTS AND NOT WIN32)
  find_program(TELEGATE_MINGW_CC NAMES x86_64-w64-mingw32-gcc)
  if(TELEGATE_MINGW_CC)
    enable_testing()
    add_test(NAME OpcAbi.WindowsSdkAgrees
      COMMAND ${TELEGATE_MINGW_CC} -fsyntax-only -I${_opc_gen} -I${CMAKE_CURRENT_SOURCE_DIR}/tests/opc
              ${CMAKE_CURRENT_SOURCE_DIR}/tests/opc/AbiWindowsCheck.c)
  endif()
endif()
