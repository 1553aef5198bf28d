#pragma once

// the per-card telemetry files

#include <memory>
#include <string>

#include <spdlog/logger.h>

#include "aml/aml_card_handle.h"

// the telemetry files of a card: dir/card_<bdf>_<type>.log, 10 MiB, 5 copies,
// boot banner at every open, message text only. registered as
// logger_<type>_<bdf>; an empty handle when the file cannot be opened
std::shared_ptr<spdlog::logger> orlixmon_oper_logger_init(const aml_card_handle_s& card,
                                                          const std::string& dir,
                                                          const std::string& type);

// drops logger_<type>_<bdf> from the registry; the file closes with the
// last handle
void orlixmon_oper_logger_deinit(const aml_card_handle_s& card, const std::string& type);

// the logger name and file path of a card's telemetry file
std::string orlixmon_oper_logger_name(const aml_card_handle_s& card, const std::string& type);
std::string orlixmon_oper_logger_path(const aml_card_handle_s& card, const std::string& dir,
                                      const std::string& type);
