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

# ---- Windows: the COM local server, its proxy/stub DLL and the test client -----------
# The marshalling code and the type library are made against the system IDL files
# (Wine's, from libwine-dev: the MinGW headers ship none), not the stand-ins in
# idl/base. The proxy/stub DLL and the test client use the header made with them.
if(WIN32)
  enable_language(C)
  find_path(TELEGATE_SYSTEM_IDL_DIR objidl.idl HINTS /usr/include/wine/wine/windows
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_path(TELEGATE_STDOLE2_DIR stdole2.tlb HINTS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
            NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  find_program(TELEGATE_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
  target_sources(telegate_opc PRIVATE ${_opc_dir}/win32/ComServer.cpp)
  target_link_libraries(telegate_opc PUBLIC ole32 oleaut32 uuid)

  # The type library sOPC, carried by Telegate.exe as resource TYPELIB 1.
  add_custom_command(
    OUTPUT ${_opc_gen}/sOPC.tlb
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_opc_gen}
    COMMAND ${TELEGATE_WIDL} -m64 -I ${TELEGATE_SYSTEM_IDL_DIR} -L ${TELEGATE_STDOLE2_DIR}
            -t -T ${_opc_gen}/sOPC.tlb ${_opc_dir}/idl/sOPC.idl
    DEPENDS ${_opc_dir}/idl/sOPC.idl
    COMMENT "widl: sOPC.tlb")
  add_custom_command(
    OUTPUT ${_opc_gen}/Telegate_res.o
    COMMAND ${TELEGATE_WINDRES} -I ${_opc_gen} -i ${_opc_dir}/win32/Telegate.rc
            -o ${_opc_gen}/Telegate_res.o
    DEPENDS ${_opc_dir}/win32/Telegate.rc ${_opc_gen}/sOPC.tlb
    COMMENT "windres: Telegate.exe's type library")
  set(TELEGATE_OPC_RESOURCES ${_opc_gen}/Telegate_res.o)

  # The proxy/stub (64-bit here; the 32-bit one is built alone from win32/ps).
  set(_ps_gen ${CMAKE_BINARY_DIR}/generated/opcps)
  include(${_opc_dir}/win32/ps/ProxyStub.cmake)
  telegate_proxy_stub(OPC_DIR ${_opc_dir} GEN_DIR ${_ps_gen} WIDL_ARCH -m64)

  # The OPC DA test client (a console program run under Wine by test-opc-windows.sh).
  add_library(telegate_opc_iids STATIC ${_ps_gen}/OpcDa_i.c)
  add_executable(opcclient ${CMAKE_CURRENT_SOURCE_DIR}/tools/opcclient/main.cpp)
  target_include_directories(opcclient PRIVATE ${_ps_gen})
  target_link_libraries(opcclient PRIVATE telegate_opc_iids ole32 oleaut32 uuid)
  add_dependencies(opcclient telegate_opcps_gen)
endif()
