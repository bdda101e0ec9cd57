# The tests' PE executables, made at build time with the host's tools, so
# that both builds (and the fuzzers' seeds) read the very same files.
#
# orvalinth_pe_fixtures(DIR)
#   The target pe_fixtures: tiny executables with version resources (DIR/
#   full.exe, no_translation.exe, fixed_only.exe, translation_only.exe,
#   none.exe) made with the mingw-w64 tools, a 32-bit one (DIR/pe32.exe, a
#   PE32 where the others are PE32+, made by clang and lld), and with
#   osslsigncode full.exe signed by the test keys of tests/fixtures/sign
#   (DIR/signed/rsa.exe, ec.exe, other.exe, sha1.exe signed with SHA-1) and
#   pe32.exe by the RSA key (DIR/signed/pe32.exe). Sets PE_FIXTURES_DIR
#   in the caller's scope to DIR, or to "" when the tools are missing, and
#   PE_SIGNED_FIXTURES_DIR to DIR/signed, or "" without osslsigncode.
#
# orvalinth_signed_copy(OUTPUT INPUT SIGNER HASH DEPENDS...)
#   A rule that signs INPUT as OUTPUT with the test key SIGNER (test-rsa,
#   test-ec, test-other) and the digest HASH (sha256, sha1). Only options
#   that osslsigncode 2.5 has.
#
# orvalinth_test_signer_pins(TARGET)
#   The test keys' pins as compile definitions of TARGET:
#   ORVALINTH_TEST_PIN_RSA, _EC and _OTHER, from tests/fixtures/sign/*.pin.

set(ORVALINTH_TEST_SIGNING_KEYS "${PROJECT_SOURCE_DIR}/tests/fixtures/sign")
find_program(ORVALINTH_OSSLSIGNCODE osslsigncode)

function(orvalinth_signed_copy output input signer hash)
  get_filename_component(folder "${output}" DIRECTORY)
  set(keys "${ORVALINTH_TEST_SIGNING_KEYS}")
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${output}"
    COMMAND "${ORVALINTH_OSSLSIGNCODE}" sign -certs "${keys}/${signer}.crt" -key "${keys}/${signer}.key"
            -h ${hash} -in "${input}" -out "${output}" > /dev/null
    DEPENDS "${input}" "${keys}/${signer}.crt" "${keys}/${signer}.key" ${ARGN} VERBATIM)
endfunction()

function(orvalinth_test_signer_pins target)
  foreach(name rsa ec other)
    file(READ "${ORVALINTH_TEST_SIGNING_KEYS}/test-${name}.pin" pin)
    string(STRIP "${pin}" pin)
    string(TOUPPER "${name}" upper)
    target_compile_definitions(${target} PRIVATE ORVALINTH_TEST_PIN_${upper}="${pin}")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${ORVALINTH_TEST_SIGNING_KEYS}/test-rsa.pin" "${ORVALINTH_TEST_SIGNING_KEYS}/test-ec.pin"
    "${ORVALINTH_TEST_SIGNING_KEYS}/test-other.pin")
endfunction()

function(orvalinth_pe_fixtures dir)
  set(src "${PROJECT_SOURCE_DIR}/tests/record/version_fixtures")
  find_program(pe_windres x86_64-w64-mingw32-windres)
  find_program(pe_cc x86_64-w64-mingw32-gcc-posix)
  find_program(pe_clang NAMES clang clang-14)
  if(NOT pe_windres OR NOT pe_cc OR NOT pe_clang)
    message(WARNING "mingw-w64 windres or gcc, or clang, not found: the tests on real PE files are skipped (run scripts/setup)")
    set(PE_FIXTURES_DIR "" PARENT_SCOPE)
    set(PE_SIGNED_FIXTURES_DIR "" PARENT_SCOPE)
    return()
  endif()
  set(outputs "")
  foreach(name full no_translation fixed_only translation_only none)
    set(exe "${dir}/${name}.exe")
    if(name STREQUAL "none")
      add_custom_command(OUTPUT "${exe}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
        COMMAND "${pe_cc}" -nostdlib -s -Wl,--entry=start -o "${exe}" "${src}/tiny.c"
        DEPENDS "${src}/tiny.c" VERBATIM)
    else()
      add_custom_command(OUTPUT "${exe}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
        COMMAND "${pe_windres}" -O coff -i "${src}/${name}.rc" -o "${dir}/${name}.res.o"
        COMMAND "${pe_cc}" -nostdlib -s -Wl,--entry=start -o "${exe}" "${src}/tiny.c" "${dir}/${name}.res.o"
        DEPENDS "${src}/${name}.rc" "${src}/tiny.c" VERBATIM)
    endif()
    list(APPEND outputs "${exe}")
  endforeach()
  add_custom_command(OUTPUT "${dir}/pe32.exe"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${dir}"
    COMMAND "${pe_clang}" --target=i686-w64-windows-gnu -nostdlib -fuse-ld=lld -Wl,--entry=_start
            -o "${dir}/pe32.exe" "${src}/tiny.c"
    DEPENDS "${src}/tiny.c" VERBATIM)
  list(APPEND outputs "${dir}/pe32.exe")
  set(PE_SIGNED_FIXTURES_DIR "" PARENT_SCOPE)
  if(ORVALINTH_OSSLSIGNCODE)
    foreach(signed "rsa;test-rsa;sha256" "ec;test-ec;sha256" "other;test-other;sha256" "sha1;test-rsa;sha1")
      list(GET signed 0 name)
      list(GET signed 1 signer)
      list(GET signed 2 hash)
      orvalinth_signed_copy("${dir}/signed/${name}.exe" "${dir}/full.exe" ${signer} ${hash})
      list(APPEND outputs "${dir}/signed/${name}.exe")
    endforeach()
    orvalinth_signed_copy("${dir}/signed/pe32.exe" "${dir}/pe32.exe" test-rsa sha256)
    list(APPEND outputs "${dir}/signed/pe32.exe")
    set(PE_SIGNED_FIXTURES_DIR "${dir}/signed" PARENT_SCOPE)
  else()
    message(WARNING "osslsigncode not found: the tests on signed executables are skipped (run scripts/setup)")
  endif()
  add_custom_target(pe_fixtures DEPENDS ${outputs})
  set(PE_FIXTURES_DIR "${dir}" PARENT_SCOPE)
endfunction()
