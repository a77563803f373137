# Run by `cmake --install` (see CMakeLists.txt): writes the files that name
# installed paths, for the prefix of this very install.
#   TVQ_PREFIX  install prefix            TVQ_SOURCE  packaging/ source folder
#   TVQ_WORK    folder to write into      TVQ_DATADIR, TVQ_LIBDIR  as GNUInstallDirs
#   TVQ_VERSION project version       TVQ_APP_ID  the AppStream id
foreach(kind DATADIR LIBDIR)
  if(IS_ABSOLUTE "${TVQ_${kind}}")
    set(full_${kind} "${TVQ_${kind}}")
  else()
    set(full_${kind} "${TVQ_PREFIX}/${TVQ_${kind}}")
  endif()
endforeach()

# The manual page names the installed help and library.
set(HELPDIR "${full_DATADIR}/tvqcrdut")
set(LIBDIR "${full_LIBDIR}")
set(VERSION "${TVQ_VERSION}")
set(APP_ID "${TVQ_APP_ID}")
file(MAKE_DIRECTORY "${TVQ_WORK}")
configure_file("${TVQ_SOURCE}/${TVQ_APP_ID}.desktop.in" "${TVQ_WORK}/${TVQ_APP_ID}.desktop" @ONLY)
configure_file("${TVQ_SOURCE}/man/tvqcrdut.1" "${TVQ_WORK}/tvqcrdut.1" @ONLY)
execute_process(COMMAND gzip -9 -n -f "${TVQ_WORK}/tvqcrdut.1" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of the tvqcrdut manual page failed")
endif()
