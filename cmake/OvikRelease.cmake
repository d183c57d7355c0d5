# The `release` target: scripts/release.sh for the client folder in
# OVIK_RELEASE_CLIENT (empty: the sample client), into ${CMAKE_BINARY_DIR}/release,
# signed when OVIK_RELEASE_PKCS12 and OVIK_RELEASE_PASSWORD_FILE are set.
if(CMAKE_HOST_UNIX AND TARGET installer AND TARGET sample_client)
  set(OVIK_RELEASE_CLIENT "" CACHE PATH "Client folder that the release target ships (empty: the sample client)")
  set(OVIK_RELEASE_VERSION "" CACHE STRING "Client version that names the release (empty: its startClass.exe's)")
  set(OVIK_RELEASE_PKCS12 "" CACHE FILEPATH "PKCS#12 file that signs setup.exe (empty: unsigned)")
  set(OVIK_RELEASE_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 password")
  set(OVIK_RELEASE_CA_FILE "" CACHE FILEPATH "CA certificates the signature is verified against (empty: the system's)")
  set(OVIK_RELEASE_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signature (empty: none)")

  set(release_args --no-build --build-dir ${CMAKE_BINARY_DIR})
  if(OVIK_RELEASE_CLIENT)
    list(APPEND release_args --client ${OVIK_RELEASE_CLIENT})
  endif()
  if(OVIK_RELEASE_VERSION)
    list(APPEND release_args --version ${OVIK_RELEASE_VERSION})
  endif()
  if(OVIK_RELEASE_PKCS12 OR OVIK_RELEASE_PASSWORD_FILE)
    list(APPEND release_args --sign-pkcs12 ${OVIK_RELEASE_PKCS12}
         --password-file ${OVIK_RELEASE_PASSWORD_FILE})
  endif()
  if(OVIK_RELEASE_CA_FILE)
    list(APPEND release_args --ca-file ${OVIK_RELEASE_CA_FILE})
  endif()
  if(OVIK_RELEASE_TIMESTAMP_URL)
    list(APPEND release_args --timestamp-url ${OVIK_RELEASE_TIMESTAMP_URL})
  endif()
  add_custom_target(release
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/release.sh ${release_args}
    USES_TERMINAL VERBATIM)
  add_dependencies(release installer sample_client)
endif()
