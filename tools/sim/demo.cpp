// demo.cpp - the built-in demo: two guards in direct mode with the
// authentication flag '0', each a press held for three seconds.  The
// status module answers the first IO status request with the loop signal
// on, the second with it off, which brings the display message and the
// guard log record; then the status module ends the service.
#include "demo.h"

const char kDemoScenario[] = R"(# kvosim's built-in demo
set mode direct
set auth 0
set hold on
expect stsp 600 "000" "0312"          # start-up report, result 000

answer 454 with 410 state 1           # status module: loop signal on
press
expect ek 356                         # every press goes to the EK module
hold 3s                               # held for three seconds: at the twelfth
expect sts 454 "052"                  # poll of 250 ms the IO status request
release
expect auth 255 hex 01 00             # loop on: guard notice to authentication

answer 454 with 410 state 0           # status module: loop signal off
press
expect ek 356
hold 3s
expect sts 454 "052"
release
expect log "00005,FifoReadFunc,LOOP SIGNAL OFF" priority 6
expect disp 151 "0619 00000000"       # display message
expect log 53 at 16 hex 04 00         # guard log record: date, time, 4, 0

send sts 900 hex 00                   # status module: terminate
expect sts 605 "000"                  # termination report, result 000
expect exit 0
)";
