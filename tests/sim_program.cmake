# tarnvik-upgrade-sim's own options, the program run as a process:
#   cmake -DSIM=PROGRAM -DWORK=FOLDER -P sim_program.cmake
# The command line itself is tst_cli's; here only the boards the options
# make: how many, when they come and go, how they answer.

file(MAKE_DIRECTORY "${WORK}")
string(REPEAT "x" 600 image)
file(WRITE "${WORK}/small.bin" "${image}")

function(sim)
    execute_process(COMMAND "${SIM}" ${ARGN} WORKING_DIRECTORY "${WORK}" TIMEOUT 30
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    set(rc "${rc}" PARENT_SCOPE)
    set(out "${out}" PARENT_SCOPE)
    set(err "${err}" PARENT_SCOPE)
endfunction()

function(fail what)
    message(FATAL_ERROR "${what}\nexit status: ${rc}\nstdout:\n${out}\nstderr:\n${err}")
endfunction()

# How many, their serial numbers and release.
sim(list --sim-boards 4 --sim-no-serial 1,3-4 --sim-release 2.05)
string(REGEX MATCHALL "\t[^\t]*\tsim:board-[0-9]+\t[^\n]*\n" boards "${out}")
string(REPLACE ";" "" boards "${boards}")
if(NOT rc EQUAL 0 OR NOT boards STREQUAL "\t-\tsim:board-1\t2.05\n\tSIM-2\tsim:board-2\t2.05\n\t-\tsim:board-3\t2.05\n\t-\tsim:board-4\t2.05\n")
    fail("list: four boards, SIM-2 alone with a serial number, all at 2.05")
endif()

sim(list --sim-silent 4 --sim-boards 3)
if(NOT rc EQUAL 1 OR NOT err MATCHES "--sim-silent must be board numbers from 1 to 3")
    fail("a board that is not there")
endif()

sim(--help)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^Usage: tarnvik-upgrade-sim list" OR NOT out MATCHES "\n  --sim-restart R ")
    fail("--help: the usage, then the simulator's options")
endif()

# A station's stream: a board every 0.3 s; each restarts after E4, comes
# back with 1.01 and is pulled out 0.5 s after its return; the second has
# no serial number (the same board by its path), the fourth never answers.
sim(station -d 1a2b:00ff --image small.bin --interval 2 --ack-timeout 3 --count 4 --wait-replug 3
    --expect-release 1.01 --json -q --sim-boards 4 --sim-every 0.3 --sim-restart 1.01 --sim-unplug 0.5
    --sim-silent 4 --sim-no-serial 2)
if(NOT rc EQUAL 4 OR NOT err MATCHES "station ended: 4 boards, 3 upgraded, 1 failed, 0 interrupted")
    fail("station: three boards upgraded, the silent one failed")
endif()
if(NOT out MATCHES "\"event\":\"end\",\"outcome\":\"failed\",\"path\":\"sim:board-4\"")
    fail("the silent board is the one that failed")
endif()
if(NOT out MATCHES "\"event\":\"end\",\"outcome\":\"ok\",\"path\":\"sim:board-2\",[^\n]*\"serial\":\"\"")
    fail("the board without a serial number came back and was done")
endif()
string(REGEX MATCHALL "\"event\":\"board-gone\"" gone "${out}")
list(LENGTH gone gone)
if(NOT gone EQUAL 6)
    fail("each of three boards goes twice: at E4, and pulled out after its return (${gone} times)")
endif()
string(FIND "${out}" "\"event\":\"board-gone\",\"path\":\"sim:board-1\"" firstGone)
string(FIND "${out}" "\"event\":\"board-present\",\"path\":\"sim:board-4\"" lastPlugged)
if(firstGone EQUAL -1 OR NOT lastPlugged GREATER firstGone)
    fail("the fourth board is plugged in after the first has restarted")
endif()
