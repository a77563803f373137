# Writes the manual page of a command-line tool from its own --help, so the two
# never drift apart: help2man for the page, plus a COMMANDS section holding the
# --help of every subcommand (and of theirs), found by walking the
# "Subcommands:" lists that the tool prints.
#
#   cmake -DTOOL=<program file> -DNAME=<one-line description> -DOUT=<page.1.gz>
#         -DHELP2MAN=<help2man> [-DSEE_ALSO=<page>,<page>...] -P HelpToMan.cmake
#
# The tool runs by its bare name from its own folder, so no build path ends up
# in its usage lines.
cmake_minimum_required(VERSION 3.22)

foreach(var TOOL NAME OUT HELP2MAN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "HelpToMan: ${var} is not set")
  endif()
endforeach()

get_filename_component(tool_dir "${TOOL}" DIRECTORY)
get_filename_component(tool_name "${TOOL}" NAME)
set(run_env ${CMAKE_COMMAND} -E env "PATH=${tool_dir}:$ENV{PATH}" LC_ALL=C.UTF-8 COLUMNS=80)

function(tool_help out_var)
  execute_process(COMMAND ${run_env} ${tool_name} ${ARGN} --help
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR text STREQUAL "")
    string(JOIN " " words ${ARGN})
    message(FATAL_ERROR "HelpToMan: '${tool_name} ${words} --help' failed (${rc}): ${err}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Names listed under "Subcommands:" in a help text (CLI11 layout: two blanks,
# the name, blanks, the description).
function(subcommands_of help out_var)
  set(names)
  set(in_list FALSE)
  string(REPLACE ";" "\\;" help "${help}")
  string(REPLACE "\n" ";" lines "${help}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Subcommands:")
      set(in_list TRUE)
    elseif(in_list AND line MATCHES "^  ([A-Za-z0-9][A-Za-z0-9_-]*)( |$)")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(in_list AND NOT line MATCHES "^ ")
      set(in_list FALSE)
    endif()
  endforeach()
  set(${out_var} "${names}" PARENT_SCOPE)
endfunction()

# Plain text as a no-fill roff block: the columns of the help stay aligned.
function(as_roff text out_var)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${out_var} ".nf\n${text}.fi\n" PARENT_SCOPE)
endfunction()

set(commands "")
function(walk)
  tool_help(help ${ARGN})
  subcommands_of("${help}" subs)
  foreach(sub IN LISTS subs)
    tool_help(sub_help ${ARGN} ${sub})
    as_roff("${sub_help}" body)
    string(JOIN " " title ${ARGN} ${sub})
    string(APPEND commands ".SS \"${title}\"\n${body}")
    walk(${ARGN} ${sub})
  endforeach()
  set(commands "${commands}" PARENT_SCOPE)
endfunction()
walk()

get_filename_component(out_dir "${OUT}" DIRECTORY)
set(work "${out_dir}/${tool_name}.work")
file(MAKE_DIRECTORY "${work}")
set(include_file "${work}/include.h2m")
set(include_text "")
if(NOT commands STREQUAL "")
  string(APPEND include_text "[COMMANDS]\nEvery command takes \\fB\\-\\-help\\fR.\n${commands}\n")
endif()
if(DEFINED SEE_ALSO AND NOT SEE_ALSO STREQUAL "")
  string(REPLACE "," ";" pages "${SEE_ALSO}")
  list(TRANSFORM pages PREPEND ".BR ")
  list(TRANSFORM pages APPEND " (1)")
  list(JOIN pages ",\n" see_also)
  string(APPEND include_text "[SEE ALSO]\n${see_also}\n")
endif()
file(WRITE "${include_file}" "${include_text}")

set(page "${work}/${tool_name}.1")
execute_process(COMMAND ${run_env} ${HELP2MAN} --no-info --section=1
    "--name=${NAME}" "--include=${include_file}" "--output=${page}" ${tool_name}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "HelpToMan: help2man failed for ${tool_name} (${rc}): ${err}")
endif()

# Debian keeps manual pages compressed, without a time stamp in the gzip header.
execute_process(COMMAND gzip -9 -n -f "${page}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "HelpToMan: gzip failed for ${page}")
endif()
file(RENAME "${page}.gz" "${OUT}")
