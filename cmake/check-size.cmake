# cmake -DFILE=path -DLIMIT=bytes -P check-size.cmake
# Fails when FILE is larger than LIMIT bytes, and removes it, so that the
# next build links it again and fails again instead of keeping it.
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE} is ${size} bytes, over its limit of ${LIMIT} bytes "
                      "(an upgrade sends it in one frame of at most 10485760 bytes): removed")
endif()
message(STATUS "${FILE}: ${size} bytes (limit ${LIMIT})")
