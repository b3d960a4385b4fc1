# Compiles files into the program as named resources, so the launcher carries its built-in
# options document and skin images without any file beside it.
#
#   kova_embed_resources(TARGET OUTPUT_CPP NAME1 FILE1 NAME2 FILE2 ...)
function(kova_embed_resources target output)
  set(args ${ARGN})
  set(names "")
  set(files "")
  list(LENGTH args n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET args ${i} name)
    list(GET args ${j} file)
    list(APPEND names ${name})
    list(APPEND files ${file})
  endforeach()
  string(REPLACE ";" "|" names_arg "${names}")
  string(REPLACE ";" "|" files_arg "${files}")
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} "-DNAMES=${names_arg}" "-DFILES=${files_arg}"
            -P ${PROJECT_SOURCE_DIR}/cmake/WriteResources.cmake
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/WriteResources.cmake
    COMMENT "Embedding resources"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
