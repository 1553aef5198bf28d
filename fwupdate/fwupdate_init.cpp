// binding the calling thread to one card: directories, trace, the remote
// flash client and the card's information

#include <cstdlib>
#include <cstring>

#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"

int fwupdate_init(fwupdate_init_params_s params)
{
    auto& g = fwupdate_globals();
    auto& tls = fwupdate_tls();
    // a channel left open by an earlier binding of this thread may lead to
    // another card: every exchange of this one must reach its own
    rfc_cleanup();
    g.oper_dir = params.oper_dir;
    g.conf_dir = params.conf_dir;
    tls.vmb_bdf = params.card_bdf;
    tls.vxc_core_bdf = params.vxc_core_bdf;

    // the operational folder is checked as private itself, not only as the
    // parent of the card's folders
    g.fwupdate_trace_cb = params.trace_cb;
    g.fwupdate_trace_level = params.trace_level;
    tls.fwupdate_trace_cb_ctxt = params.trace_cb_ctxt;
    std::string card_dir = g.oper_dir + "/" + tls.vmb_bdf;
    int rc = fwupdate_make_dir(g.oper_dir, tls.vmb_bdf);
    if (rc != 0) {
        fwupdate_log(trace_level_err, "Failed to make card bdf directory %s, err %d", card_dir.c_str(), rc);
        return FWUPDATE_ERR;
    }
    if (const char* env = getenv("FWUPDATE_TEST_ENV")) {
        tls.fwupdate_test_env = static_cast<uint8_t>(strtoul(env, nullptr, 10));
    }
    if (tls.fwupdate_test_env == 1) {
        fwupdate_log(trace_level_err, "Simulated firmware update init failure");
        return FWUPDATE_ERR;
    }
    tls.fwupgrade_bdf_dir = g.oper_dir + "/fwupgrade/" + tls.vmb_bdf + "/";
    if ((rc = fwupdate_make_dir(g.oper_dir, "fwupgrade/" + tls.vmb_bdf)) != 0) {
        fwupdate_log(trace_level_err, "Failed to make oper directory %s, err %d", tls.fwupgrade_bdf_dir.c_str(), rc);
        return FWUPDATE_ERR;
    }
    std::string conf = g.conf_dir + "/" + tls.vmb_bdf + "/";
    if ((rc = fwupdate_make_dir(g.conf_dir, tls.vmb_bdf)) != 0) {
        fwupdate_log(trace_level_err, "Failed to make config directory %s, err %d", conf.c_str(), rc);
        return FWUPDATE_ERR;
    }
    rfc_init_params_s rp;
    snprintf(rp.card_bdf, sizeof(rp.card_bdf), "%s", tls.vmb_bdf.c_str());
    snprintf(rp.oper_dir, sizeof(rp.oper_dir), "%s", g.oper_dir.c_str());
    rp.trace_level = params.trace_level;
    rp.trace_cb = params.trace_cb;
    rp.trace_cb_ctxt = params.trace_cb_ctxt;
    if ((rc = rfc_init(&rp)) != 0) {
        fwupdate_log(trace_level_err, "Failed to init rfc for %s, err %u", tls.vmb_bdf.c_str(), rc);
        return rc;
    }
    if ((rc = rfc_card_info_get(tls.vmb_bdf, nullptr, &tls.card_info)) != 0) {
        fwupdate_log(trace_level_err, "Failed to get card info for %s, err %u", tls.vmb_bdf.c_str(), rc);
        return rc;
    }
    g.asic_name = tls.card_info.asic_name;
    return 0;
}
