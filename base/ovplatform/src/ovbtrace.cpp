// ovbtrace.cpp - backtraces and the fatal-signal report (being written).
#include <ovplatform/ovbtrace.h>
