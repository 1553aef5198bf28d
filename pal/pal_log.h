#pragma once

#include <cstdint>

// messages of the platform layer: errors and warnings always pass, info to
// verbose only while the switch is on. they go to the module trace callback
// once a module id is registered, to stdout before that
void pal_set_log_enable(int enable);
int pal_log(uint32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));
