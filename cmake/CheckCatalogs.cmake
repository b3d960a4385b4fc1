# Every text the programs mark for translation (Tr, TrFormat, TrNoop) has a translation in every
# catalog of po/, and no catalog holds a text the programs no longer show.
# cmake -DSOURCE_DIR=... -DWORK_DIR=... -P CheckCatalogs.cmake
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/core/*.cpp ${SOURCE_DIR}/core/*.h ${SOURCE_DIR}/ui/*.cpp ${SOURCE_DIR}/ui/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/net/*.cpp
  ${SOURCE_DIR}/workers/*.cpp)
file(MAKE_DIRECTORY ${WORK_DIR})
set(template ${WORK_DIR}/kovaupdater.pot)
execute_process(
  COMMAND xgettext --language=C++ --from-code=UTF-8 --keyword=Tr --keyword=TrFormat
          --keyword=TrNoop --omit-header -o ${template} ${sources}
  WORKING_DIRECTORY ${SOURCE_DIR} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "xgettext could not read the sources")
endif()
file(GLOB catalogs ${SOURCE_DIR}/po/*.po)
foreach(po ${catalogs})
  # Untranslated or fuzzy texts count as missing.
  execute_process(COMMAND msgcmp ${po} ${template} RESULT_VARIABLE missing)
  if(missing)
    message(SEND_ERROR "${po} lacks translations of the texts above")
  endif()
  execute_process(COMMAND msgcomm --less-than=2 --omit-header --no-location ${po} ${template}
                  OUTPUT_VARIABLE stale)
  string(REGEX MATCHALL "msgid \"[^\"]+\"" stale "${stale}")
  if(stale)
    message(SEND_ERROR "${po} holds texts the programs do not show: ${stale}")
  endif()
endforeach()
