# Runs the driver once and checks its exit status and what it printed.
#   -DDRIVER=program [-DEMULATOR=command] [-DARGS=list] [-DWORKDIR=folder]
#   -DCODE=expected exit status
#   [-DOUT=regex] [-DERR=regex]          must match standard output / error
#   [-DNOT_OUT=regex] [-DNOT_ERR=regex]  must not match them
# A CR left in the output (other than a CR LF line end of the Windows
# console) fails the case too.
if(NOT WORKDIR)
  set(WORKDIR ".")
endif()
execute_process(COMMAND ${EMULATOR} ${DRIVER} ${ARGS}
                WORKING_DIRECTORY "${WORKDIR}"
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r\n" "\n" out "${out}")
string(REPLACE "\r\n" "\n" err "${err}")
set(problems "")
if(NOT code STREQUAL CODE)
  string(APPEND problems "exit status ${code}, expected ${CODE}\n")
endif()
if(DEFINED OUT AND NOT OUT STREQUAL "" AND NOT out MATCHES "${OUT}")
  string(APPEND problems "standard output does not match: ${OUT}\n")
endif()
if(DEFINED ERR AND NOT ERR STREQUAL "" AND NOT err MATCHES "${ERR}")
  string(APPEND problems "standard error does not match: ${ERR}\n")
endif()
if(DEFINED NOT_OUT AND NOT NOT_OUT STREQUAL "" AND out MATCHES "${NOT_OUT}")
  string(APPEND problems "standard output matches: ${NOT_OUT}\n")
endif()
if(DEFINED NOT_ERR AND NOT NOT_ERR STREQUAL "" AND err MATCHES "${NOT_ERR}")
  string(APPEND problems "standard error matches: ${NOT_ERR}\n")
endif()
string(FIND "${out}" "\r" cr)
if(NOT cr EQUAL -1)
  string(APPEND problems "standard output holds a stray CR\n")
endif()
if(problems)
  message(FATAL_ERROR "${problems}--- standard output:\n${out}--- standard error:\n${err}")
endif()
