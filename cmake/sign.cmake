# Run at install time, before SHA256SUMS is written: Authenticode-signs the
# installed svcstop.exe when the environment names a certificate.
#
#   SVCSTOP_SIGN_PFX            a PKCS#12 file with the key and certificate
#   SVCSTOP_SIGN_PASSWORD_FILE  a file holding its password
#   SVCSTOP_TIMESTAMP_URL       optional: an RFC 3161 timestamp server
#
# Without any of them nothing happens. osslsigncode reads the password
# from the file itself, so it is on no command line and in no log.
#
# The signing time is the source's (SOURCE_DATE_EPOCH, or else the last
# commit's time), not the clock's, so two signings of one build with one key
# give the same bytes, and `osslsigncode remove-signature` gives back the
# unsigned exe exactly. A timestamp token carries the server's own time and
# serial number, so with a timestamp only the stripped exe compares equal.
#
# Expects svcstop_source_dir to be set.

set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/svcstop.exe")
set(signing "${exe}.signing")
file(REMOVE "${signing}")

# Every failure removes the staged exe, so that nothing unsigned is packed
# where a signed exe was asked for.
macro(fail why)
  file(REMOVE "${exe}" "${signing}")
  message(FATAL_ERROR "svcstop.exe not signed: ${why}")
endmacro()

set(pfx "$ENV{SVCSTOP_SIGN_PFX}")
if(pfx STREQUAL "")
  # A release script that names a password or a timestamp server meant to
  # sign: an unsigned zip would pass for a signed one.
  foreach(var SVCSTOP_SIGN_PASSWORD_FILE SVCSTOP_TIMESTAMP_URL)
    if(NOT "$ENV{${var}}" STREQUAL "")
      fail("${var} is set but SVCSTOP_SIGN_PFX is not")
    endif()
  endforeach()
  return()
endif()

if(NOT EXISTS "${pfx}" OR IS_DIRECTORY "${pfx}")
  fail("SVCSTOP_SIGN_PFX names no certificate file: ${pfx}")
endif()
set(password_file "$ENV{SVCSTOP_SIGN_PASSWORD_FILE}")
if(password_file STREQUAL "" OR NOT EXISTS "${password_file}"
   OR IS_DIRECTORY "${password_file}")
  fail("SVCSTOP_SIGN_PASSWORD_FILE must name the file holding the password of ${pfx}")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  fail("osslsigncode is not installed (Debian: apt-get install osslsigncode)")
endif()

set(signing_time "$ENV{SOURCE_DATE_EPOCH}")
if(signing_time STREQUAL "")
  execute_process(COMMAND git -C "${svcstop_source_dir}" log -1 --format=%ct
                  OUTPUT_VARIABLE signing_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_result ERROR_QUIET)
  if(NOT git_result EQUAL 0)
    fail("no SOURCE_DATE_EPOCH, and ${svcstop_source_dir} is not a git checkout to take the time from")
  endif()
endif()
if(NOT signing_time MATCHES "^[0-9]+$")
  fail("SOURCE_DATE_EPOCH must be seconds since 1970, not '${signing_time}'")
endif()

set(timestamp)
if(NOT "$ENV{SVCSTOP_TIMESTAMP_URL}" STREQUAL "")
  set(timestamp -ts "$ENV{SVCSTOP_TIMESTAMP_URL}")
endif()

execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${pfx}" -readpass "${password_file}"
          -h sha256 -n svcstop -time ${signing_time} ${timestamp}
          -in "${exe}" -out "${signing}"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${signing}")
  fail("osslsigncode failed with ${pfx}:\n${output}")
endif()
file(RENAME "${signing}" "${exe}")
message(STATUS "Signed svcstop.exe with ${pfx}, signing time ${signing_time}")
