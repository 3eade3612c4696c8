# Repairs the proxy/stub source widl writes with -Oif (cmake -DINPUT=<widl output> -DOUTPUT=<file>
# -P RedirectOutStrings.cmake).
#
# For an [out, string] LPWSTR* parameter widl emits the right type description, a reference
# pointer allocated on the stack and dereferenced (FC_RP 0x14) to the pointer to the string, but
# gives the parameter the offset of that pointee instead of the reference pointer's. The NDR
# engine then treats the parameter as the string pointer itself rather than as the place for
# one: the call returns S_OK and the caller's LPWSTR stays NULL (IOPCServer::GetErrorString,
# IOPCCommon::GetErrorString, IOPCBrowseServerAddressSpace::GetItemID and the name of
# IOPCGroupStateMgt::GetState, under Wine). Every parameter whose type offset names the pointee
# of such a reference pointer is pointed at the reference pointer, as MIDL does. Nothing else
# refers to those pointees: widl writes a type chain of its own for every parameter, so a widl
# that gets it right leaves nothing to redirect.
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "usage: cmake -DINPUT=<proxy.c> -DOUTPUT=<proxy.c> -P RedirectOutStrings.cmake")
endif()
file(READ "${INPUT}" source)

# The procedure descriptions, which hold the parameters' type offsets, come before the type
# descriptions.
set(type_start_marker "static const MIDL_TYPE_FORMAT_STRING __MIDL_TypeFormatString =")
string(FIND "${source}" "${type_start_marker}" type_start)
if(type_start LESS 0)
  message(FATAL_ERROR "${INPUT}: no type format string; the widl output has changed")
endif()
string(SUBSTRING "${source}" 0 ${type_start} procedures)
string(SUBSTRING "${source}" ${type_start} -1 types)

# /* 54 (LPWSTR *) */
#         0x11, 0x14,  /* FC_RP [allocated_on_stack] [pointer_deref] */
#         NdrFcShort(0x2),  /* Offset= 2 (58) */
set(ref_pattern "/\\* ([0-9]+) \\([^\n]*\\) \\*/\n[ \t]*0x11, 0x14,[^\n]*\n[ \t]*NdrFcShort\\(0x[0-9a-f]+\\),[ \t]*/\\* Offset= -?[0-9]+ \\(([0-9]+)\\) \\*/")
string(REGEX MATCHALL "${ref_pattern}" references "${types}")

set(redirected 0)
foreach(reference IN LISTS references)
  string(REGEX REPLACE "${ref_pattern}" "\\1" pointer "${reference}")
  string(REGEX REPLACE "${ref_pattern}" "\\2" pointee "${reference}")
  set(param_pattern "NdrFcShort\\(0x[0-9a-f]+\\),([ \t]*)/\\* type offset = ${pointee} \\*/")
  string(REGEX MATCHALL "${param_pattern}" uses "${procedures}")
  list(LENGTH uses count)
  if(count GREATER 0)
    math(EXPR pointer_hex "${pointer}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "${param_pattern}" "NdrFcShort(${pointer_hex}),\\1/* type offset = ${pointer} (widl: ${pointee}) */"
           procedures "${procedures}")
    math(EXPR redirected "${redirected} + ${count}")
  endif()
endforeach()

file(WRITE "${OUTPUT}" "${procedures}${types}")
message(STATUS "${OUTPUT}: ${redirected} [out, string] parameter(s) redirected to their reference pointer")
