#ifndef SERVE_H_
#define SERVE_H_

#include "run/Options.h"

// --serve DIR... --http [ADDR:]PORT: serves the station folders read-only over HTTP (the page,
// /api/v1/..., /metrics, each unit's log and report) until a stop signal. The exit status:
// 130 after a stop, 1 when it cannot listen.
int runServe(const Options &options);

#endif
