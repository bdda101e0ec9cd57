# The agent's Windows Installer package, made by wixl (Debian's wixl, from
# scripts/setup) from packaging/OrvalinthSrv.wxs.
#
# The package's version is 1.0.<APP_VERSION>: Windows Installer compares only
# the first three fields of a version, so the program's own 1.0.0.<N> of its
# version resource would make every package the same version to it. The
# product code is a name-based UUID of the version (SHA-1 in the namespace of
# the package's fixed UpgradeCode): a new one for each version, the same for
# the same version however often it is built, so that a rebuilt package of
# one version is still that product.
#
# Signing: with ORVALINTH_MSI_SIGN_CERT and ORVALINTH_MSI_SIGN_KEY (a PEM
# certificate and its key, the kind that signs upgrades, see README "Signed
# upgrades") the product's package is signed with osslsigncode (SHA-256).

find_program(ORVALINTH_WIXL wixl)
set(ORVALINTH_MSI_SIGN_CERT "" CACHE FILEPATH "PEM certificate that signs OrvalinthSrv.msi (none: unsigned)")
set(ORVALINTH_MSI_SIGN_KEY "" CACHE FILEPATH "PEM private key of ORVALINTH_MSI_SIGN_CERT")
set(ORVALINTH_MSI_UPGRADE_CODE 5629408B-5C7B-4D46-AD5A-D8636D22A657)

# orvalinth_msi(NAME TARGET VERSION OUTPUT [SIGN_CERT FILE SIGN_KEY FILE]):
# the custom target NAME (built by default) makes OUTPUT, the package of
# TARGET's executable and symbol file at VERSION (the APP_VERSION number),
# signed with SIGN_CERT and SIGN_KEY (default: ORVALINTH_MSI_SIGN_CERT and
# ORVALINTH_MSI_SIGN_KEY; none: unsigned).
function(orvalinth_msi name target version output)
  cmake_parse_arguments(MSI "" "SIGN_CERT;SIGN_KEY" "" ${ARGN})
  if(NOT MSI_SIGN_CERT)
    set(MSI_SIGN_CERT "${ORVALINTH_MSI_SIGN_CERT}")
    set(MSI_SIGN_KEY "${ORVALINTH_MSI_SIGN_KEY}")
  endif()
  if(NOT ORVALINTH_WIXL)
    message(WARNING "wixl not found (scripts/setup installs it): no ${output}")
    return()
  endif()
  string(UUID code NAMESPACE ${ORVALINTH_MSI_UPGRADE_CODE} NAME "OrvalinthSrv ${version}" TYPE SHA1 UPPER)
  set(wxs "${PROJECT_SOURCE_DIR}/packaging/OrvalinthSrv.wxs")
  # wixl takes a file's Source only relative to its working folder: it runs
  # in the executable's folder, where the symbol file is too.
  set(exe "$<TARGET_FILE_NAME:${target}>")
  set(pdb "$<TARGET_FILE_BASE_NAME:${target}>.pdb")
  set(sign)
  set(built "${output}")
  if(MSI_SIGN_CERT AND MSI_SIGN_KEY)
    find_program(msi_osslsigncode osslsigncode REQUIRED)
    set(built "${output}.unsigned")
    set(sign COMMAND "${msi_osslsigncode}" sign -certs "${MSI_SIGN_CERT}" -key "${MSI_SIGN_KEY}"
             -h sha256 -n "Orvalinth Service" -in "${built}" -out "${output}" > /dev/null
             COMMAND ${CMAKE_COMMAND} -E rm -f "${built}")
  endif()
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${output}" "${built}"
    # wixl's GLib warns on stderr about what it does not know; a failure is
    # its exit code.
    COMMAND "${ORVALINTH_WIXL}" -a x64 -D Version=1.0.${version} -D "ProductCode={${code}}" -D "Exe=${exe}"
            -D "Pdb=${pdb}" -o "${built}" "${wxs}"
    ${sign}
    DEPENDS ${target} "${wxs}" ${MSI_SIGN_CERT} ${MSI_SIGN_KEY}
    WORKING_DIRECTORY "$<TARGET_FILE_DIR:${target}>"
    COMMENT "Windows Installer package ${output} (version 1.0.${version})"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${output}")
  add_dependencies(${name} ${target})
endfunction()
