#pragma once

// the health checker thread: discovery, rediscovery and liveness on the
// 100 us tick grid until the running flag is cleared. returns 0.
int orlixmon_health_checker();
