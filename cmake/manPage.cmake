# Writes corvane-run's man page, gzip-compressed, with help2man: the runner's --help, the first line
# of its --version (the others are the libraries found on the machine that built it), and a section
# with each subcommand's --help.
#   cmake -DHELP2MAN=PATH -DRUNNER=PATH -DOUTPUT=FILE.1.gz -P manPage.cmake
execute_process(COMMAND ${RUNNER} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${RUNNER} --version OUTPUT_VARIABLE version COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n.*" "" version "${version}")
string(REGEX REPLACE ".*\nSubcommands:\n" "" subcommandLines "${help}")
string(REGEX MATCHALL "(^|\n)  [a-z-]+" subcommands "${subcommandLines}")

set(include "[SUBCOMMANDS]\n")
foreach(line IN LISTS subcommands)
  string(STRIP "${line}" subcommand)
  execute_process(COMMAND ${RUNNER} ${subcommand} --help OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  # The help is shown as it stands: backslashes and lines that would read as requests are escaped.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(APPEND include ".SS ${subcommand}\n.nf\n${text}.fi\n")
endforeach()

get_filename_component(directory ${OUTPUT} DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
file(WRITE ${directory}/corvane-run.h2m "${include}")
execute_process(COMMAND ${HELP2MAN} --no-info --section 1 --include ${directory}/corvane-run.h2m
                        --name "runs and checks Corvane models with the MQTT skill" --version-string "${version}" --output ${page} ${RUNNER}
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${OUTPUT})
execute_process(COMMAND gzip -9n ${page} COMMAND_ERROR_IS_FATAL ANY)
