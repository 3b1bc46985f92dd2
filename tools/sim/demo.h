// demo.h - the scenario kvosim runs when it is given none.
#pragma once

extern const char kDemoScenario[];
