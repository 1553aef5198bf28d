// the per-card telemetry files: names, rotation and the registry of their loggers

#include "monitor/oper_logger.h"

#include <spdlog/spdlog.h>

#include "log/banner_file_sink.h"
#include "monitor/orlixmon_trace.h"

static constexpr size_t k_oper_file_size = 10485760;
static constexpr size_t k_oper_num_files = 5;

std::string orlixmon_oper_logger_name(const aml_card_handle_s& card, const std::string& type)
{
    return type.empty() ? "logger_" + card.bdf : "logger_" + type + "_" + card.bdf;
}

std::string orlixmon_oper_logger_path(const aml_card_handle_s& card, const std::string& dir,
                                      const std::string& type)
{
    return type.empty() ? dir + "/card_" + card.bdf + ".log"
                        : dir + "/card_" + card.bdf + "_" + type + ".log";
}

std::shared_ptr<spdlog::logger> orlixmon_oper_logger_init(const aml_card_handle_s& card,
                                                          const std::string& dir,
                                                          const std::string& type)
{
    std::string name = orlixmon_oper_logger_name(card, type);
    try {
        // a card opened again gets a fresh logger and file
        spdlog::drop(name);
        auto sink = std::make_shared<utils::banner_file_sink_mt>(
            orlixmon_oper_logger_path(card, dir, type), k_oper_file_size, k_oper_num_files);
        auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
        spdlog::initialize_logger(logger);
        logger->set_pattern("%v");
        return logger;
    } catch (const spdlog::spdlog_ex& e) {
        ORLIXMON_TRACE_ERR("logger init failed ({}): {}", name, e.what());
        return nullptr;
    }
}

void orlixmon_oper_logger_deinit(const aml_card_handle_s& card, const std::string& type)
{
    spdlog::drop(orlixmon_oper_logger_name(card, type));
}
