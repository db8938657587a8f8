# Validates one register description against a GenApi schema with xmllint.
# Usage: cmake -DXMLLINT=... -DSCHEMA=<xsd> -DFILE=<xml> -P ValidateDescription.cmake
# A missing schema is a failure, never a pass: the schemas are kept in resources/genapi-schema.
if(NOT EXISTS "${SCHEMA}")
  message(FATAL_ERROR "GenApi schema not found: ${SCHEMA}\n"
                      "The schemas belong in resources/genapi-schema of the source tree.")
endif()
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "register description not found: ${FILE}")
endif()
execute_process(COMMAND "${XMLLINT}" --noout --schema "${SCHEMA}" "${FILE}"
                RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FILE} does not validate against ${SCHEMA}:\n${output}")
endif()
message(STATUS "${output}")
