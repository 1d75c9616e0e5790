# The proxy/stub DLL of the OPC interfaces, TelegatePS.dll, made by widl from
# idl/OpcDa.idl against the system IDL files. Used twice: by src/opc/opc.cmake
# for the 64-bit DLL beside Telegate.exe, and by the project in this folder for
# the 32-bit DLL that 32-bit OPC clients load (scripts/build-windows.sh builds it
# into build-win/x86). widl writes the marshalling code for one pointer size
# (-m32 or -m64): stack offsets and sizes in the format strings differ.
#
#   telegate_proxy_stub(OPC_DIR <src/opc> GEN_DIR <dir> WIDL_ARCH <-m32|-m64>)
# needs TELEGATE_WIDL and TELEGATE_SYSTEM_IDL_DIR; defines the target TelegatePS
# and telegate_opcps_gen (the generated OpcDa.h, OpcDa_p.c, OpcDa_i.c, dlldata.c
# in GEN_DIR).
function(telegate_proxy_stub)
  cmake_parse_arguments(PS "" "OPC_DIR;GEN_DIR;WIDL_ARCH" "" ${ARGN})
  set(opc ${PS_OPC_DIR})
  set(gen ${PS_GEN_DIR})
  add_custom_command(
    OUTPUT ${gen}/OpcDa.h ${gen}/OpcDa_p.c ${gen}/OpcDa_i.c ${gen}/dlldata.c
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gen}
    COMMAND ${TELEGATE_WIDL} ${PS_WIDL_ARCH} -Oif -I ${TELEGATE_SYSTEM_IDL_DIR}
            -h -H ${gen}/OpcDa.h -p -P ${gen}/OpcDa_p.c -u -U ${gen}/OpcDa_i.c
            ${opc}/idl/OpcDa.idl
    COMMAND ${CMAKE_COMMAND} -DFILE=${gen}/OpcDa_p.c -P ${opc}/win32/ps/FixStringOuts.cmake
    COMMAND ${TELEGATE_WIDL} --dlldata-only -o ${gen}/dlldata.c OpcDa
    DEPENDS ${opc}/idl/OpcDa.idl ${opc}/win32/ps/FixStringOuts.cmake
    COMMENT "widl ${PS_WIDL_ARCH}: OPC proxy/stub")
  add_custom_target(telegate_opcps_gen DEPENDS ${gen}/OpcDa.h ${gen}/OpcDa_p.c
                    ${gen}/OpcDa_i.c ${gen}/dlldata.c)
  set_source_files_properties(${gen}/OpcDa_p.c ${gen}/OpcDa_i.c PROPERTIES
    COMPILE_OPTIONS "-w;-include;${opc}/win32/ps/ProxyPrelude.h")
  add_library(TelegatePS SHARED ${opc}/win32/ps/TelegatePS.c ${gen}/OpcDa_p.c
              ${gen}/OpcDa_i.c ${opc}/win32/ps/TelegatePS.def)
  target_include_directories(TelegatePS PRIVATE ${gen})
  target_compile_definitions(TelegatePS PRIVATE WIN32_LEAN_AND_MEAN)
  target_link_libraries(TelegatePS PRIVATE rpcrt4 ole32 oleaut32 uuid advapi32)
  # Only system DLLs beside it.
  target_link_options(TelegatePS PRIVATE -static -static-libgcc)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The .def names the exports undecorated, as COM and regsvr32 look them up:
    # bind them to the stdcall symbols (DllGetClassObject@12) and export them so.
    target_link_options(TelegatePS PRIVATE -Wl,--enable-stdcall-fixup -Wl,--kill-at)
  endif()
  set_target_properties(TelegatePS PROPERTIES PREFIX "" OUTPUT_NAME TelegatePS)
  add_dependencies(TelegatePS telegate_opcps_gen)
endfunction()
