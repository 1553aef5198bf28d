#include "monitor/orlixmon_state.h"

#include <stdexcept>

#include "monitor/oper_logger.h"
#include "monitor/orlixmon_trace.h"

orlixmon_state g_orlixmon_state;

orlixmon_state::~orlixmon_state()
{
    for (auto& ctxt : cards_) {
        if (ctxt->stats_logger) {
            orlixmon_oper_logger_deinit(ctxt->card, "stats");
        }
        if (ctxt->event_logger) {
            orlixmon_oper_logger_deinit(ctxt->card, "event");
        }
    }
}

int orlixmon_state::init(orlixmon_init_params_s* params)
{
    running_.store(true);
    telemetry_dir_ = params->telemetry_dir;
    pipeline_init_params_s pipeline_params{params->lif_counters, params->port_counters,
                                           params->card_counters};
    int rc = pipeline_init(&pipeline_params, &monitor_info_);
    if (rc != 0) {
        ORLIXMON_TRACE_ERR("Pipeline initialization failed");
        return rc;
    }
    return 0;
}

// the host has no card inventory source yet: nothing is found
int orlixmon_state::discover_cards()
{
    return 0;
}

int orlixmon_state::discover_lifs()
{
    for (auto& ctxt : cards_) {
        if (!ctxt->card_down) {
            (void)discover_card_lifs_(*ctxt);
        }
    }
    return 0;
}

int orlixmon_state::discover_ports()
{
    for (auto& ctxt : cards_) {
        if (!ctxt->card_down) {
            (void)discover_card_ports_(*ctxt);
        }
    }
    return 0;
}

int orlixmon_state::inspect_card_health()
{
    return 0;
}

int orlixmon_state::init_card_(orlixmon_card_ctxt_s& ctxt)
{
    {
        std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
        ctxt.lifs.clear();
        ctxt.ports.clear();
    }
    int rc = discover_card_lifs_(ctxt);
    if (rc != 0) {
        return rc;
    }
    rc = discover_card_ports_(ctxt);
    if (rc != 0) {
        return rc;
    }
    ORLIXMON_TRACE_INFO("ORLIX {} - Card init successful", ctxt.card.bdf);
    return 0;
}

int orlixmon_state::discover_card_lifs_(orlixmon_card_ctxt_s&)
{
    return 0;
}

int orlixmon_state::discover_card_ports_(orlixmon_card_ctxt_s&)
{
    return 0;
}

orlixmon_card_ctxt_s& orlixmon_state::get_card_ctxt(const aml_card_handle_s& card)
{
    for (auto& ctxt : cards_) {
        if (ctxt->card.uuid == card.uuid && ctxt->card.bdf == card.bdf) {
            return *ctxt;
        }
    }
    throw std::runtime_error("card not found");
}
