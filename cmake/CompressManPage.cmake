# Run by CPack before it makes the Debian package: compresses the staged man
# page as Debian keeps them (gzip -9, no name or time stamp inside, so the
# same page gives the same bytes).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed")
  endif()
endforeach()
if(NOT pages)
  message(FATAL_ERROR "no man page staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
