# Reads the version resource out of a Windows binary (windres decompiles it to resource script)
# and checks the fields a user sees in the file's properties.
#   cmake -DWINDRES=... -DFILE=bin/Brimwarden.dll -DNAME=Brimwarden.dll -DVERSION=1.0.0 -P this
execute_process(COMMAND ${WINDRES} --input-format=coff -i ${FILE} -O rc
                OUTPUT_VARIABLE rc ERROR_VARIABLE error RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${WINDRES} cannot read the resources of ${FILE}: ${error}")
endif()
string(REPLACE "." ", " numbers ${VERSION})  # windres writes "1, 0, 0, 0"
set(expected
    "FILEVERSION ${numbers}, 0"
    "PRODUCTVERSION ${numbers}, 0"
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"ProductName\", \"Brimwarden\""
    "VALUE \"OriginalFilename\", \"${NAME}\""
    "VALUE \"FileDescription\", \"Brimwarden")
foreach(line IN LISTS expected)
  string(FIND "${rc}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${FILE}: the version resource lacks '${line}'. It holds:\n${rc}")
  endif()
endforeach()
message(STATUS "${NAME}: version ${VERSION} in its resource")
