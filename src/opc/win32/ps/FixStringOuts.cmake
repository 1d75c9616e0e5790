# Repairs widl's proxy code for [out] LPWSTR * parameters (widl 7 and 8, -Oif): the
# parameter's type offset names the string pointer instead of the reference pointer
# to it, so the client's proxy unmarshals the string into its own stack and hands
# the caller NULL with S_OK. Each such parameter is pointed back at its reference
# pointer (FC_RP [allocated_on_stack] [pointer_deref], two entries earlier), as MIDL
# writes it.
#   cmake -DFILE=OpcDa_p.c -P FixStringOuts.cmake
file(READ ${FILE} text)
string(REGEX MATCHALL
  "/\\* [0-9]+ \\(LPWSTR \\*\\) \\*/\n[ \t]+0x11, 0x14,[ \t]+/\\* FC_RP \\[allocated_on_stack\\] \\[pointer_deref\\] \\*/\n[ \t]+NdrFcShort\\(0x2\\),"
  entries "${text}")
set(fixed 0)
foreach(entry IN LISTS entries)
  string(REGEX MATCH "^/\\* ([0-9]+) " _ "${entry}")
  set(ref ${CMAKE_MATCH_1})
  math(EXPR pointee "${ref} + 4")
  math(EXPR pointee_hex "${pointee}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR ref_hex "${ref}" OUTPUT_FORMAT HEXADECIMAL)
  set(from "NdrFcShort(${pointee_hex}),\t/* type offset = ${pointee} */")
  set(to "NdrFcShort(${ref_hex}),\t/* type offset = ${ref} (string out, repaired) */")
  string(FIND "${text}" "${from}" at)
  if(NOT at EQUAL -1)
    string(REPLACE "${from}" "${to}" text "${text}")
    math(EXPR fixed "${fixed} + 1")
  endif()
endforeach()
if(fixed EQUAL 0)
  message(FATAL_ERROR "FixStringOuts: no [out] LPWSTR * parameter found in ${FILE}")
endif()
file(WRITE ${FILE} "${text}")
