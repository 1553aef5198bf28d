// coredump get|clear, dtb get, pcie ..., qsfp show, cpld show

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "aml/aml_card_requests.h"
#include "aml/aml_coredump.h"
#include "aml/aml_pcie.h"
#include "ipc/private_dir.h"
#include "pal/pal_cpld.h"
#include "pal/pal_qsfp.h"
#include "tools/orlixctl/ctl.h"

namespace {

// a new file, never through a link, in a folder no other user can write
// (or a sticky one such as /tmp); an existing file is replaced only when it
// is root's own
void write_file(const std::string& path, const void* data, size_t size)
{
    std::string error;
    int fd = output_file_create(path, error);
    if (fd < 0) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - cannot write " + path + ": " + error);
    }
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        close(fd);
        throw ctl_error(CTL_EXIT_FAILURE, "Error - cannot write " + path + ": " + strerror(errno));
    }
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    if (!ok) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - cannot write " + path + ": " + strerror(errno));
    }
}

ctl_result coredump_get(const std::string& name, const std::string& out, bool suc)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_progress bar({card.bdf});
    bar.update(0, 0, suc ? "Reading SUC coredump" : "Reading coredump");
    aml_coredump_get_req_s req;
    req.card = card;
    aml_coredump_get_rsp_s rsp;
    aml_status_e status = suc ? aml_suc_coredump_get(&req, &rsp) : aml_card_coredump_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        bar.update(0, 0, "Failed");
        bar.finish();
        ctl_fail(status, rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"kind", suc ? "suc" : "card"}, {"size", rsp.size}};
    if (rsp.size == 0) {
        bar.update(0, 100, "No stored coredump");
        bar.finish();
        r.doc["file"] = nullptr;
        r.table = card.bdf + ": " + ctl_trim(rsp.coredump) + "\n";
        r.exit_code = CTL_EXIT_NOTHING_TO_DO;
        return r;
    }
    write_file(out, rsp.coredump.data(), rsp.coredump.size());
    bar.update(0, 100, "Done");
    bar.finish();
    r.doc["file"] = out;
    r.table = fmt::format("{}: {} bytes of {}coredump written to {}\n", card.bdf, rsp.size, suc ? "SUC " : "", out);
    return r;
}

// the two stored coredumps, each cleared by its own request
struct dump_kind_s {
    const char* kind;
    const char* label;
    aml_status_e (*clear)(aml_coredump_clear_req_s*, aml_coredump_clear_rsp_s*);
};
const dump_kind_s k_dump_kinds[] = {
    {"card", "card", aml_card_coredump_clear},
    {"suc", "SUC", aml_suc_coredump_clear},
};

ctl_result coredump_clear(const std::string& name, const std::string& kind)
{
    aml_card_handle_s card = ctl_select_card(name);
    std::vector<const dump_kind_s*> kinds;
    std::string labels;
    for (const auto& k : k_dump_kinds) {
        if (kind == "all" || kind == k.kind) {
            kinds.push_back(&k);
            labels += (labels.empty() ? "" : " and ") + std::string(k.label);
        }
    }
    ctl_confirm_or_stop("Clear the stored coredumps of card " + card.bdf + " (" + labels + ")?");
    json cleared = json::array();
    for (const dump_kind_s* k : kinds) {
        aml_coredump_clear_req_s req;
        req.card = card;
        aml_coredump_clear_rsp_s rsp;
        aml_status_e status = k->clear(&req, &rsp);
        if (status != AML_STATUS_OK) {
            ctl_fail(status, rsp.error);
        }
        cleared.push_back(k->kind);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"cleared", cleared}};
    r.table = card.bdf + ": " + labels + " coredump" + (kinds.size() > 1 ? "s" : "") + " cleared\n";
    return r;
}

ctl_result dtb_get(const std::string& name, const std::string& out, uint32_t type)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_progress bar({card.bdf});
    bar.update(0, 0, "Reading DTB size");
    aml_card_dtb_get_req_s req;
    req.card = card;
    req.type = type;
    aml_card_dtb_get_rsp_s rsp;
    aml_status_e status = aml_card_dtb_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        bar.finish();
        ctl_fail(status, rsp.error);
    }
    std::vector<uint8_t> buf(rsp.size);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"type", type}, {"size", rsp.size}};
    if (rsp.size == 0) {
        bar.update(0, 100, "No DTB stored");
        bar.finish();
        r.doc["file"] = nullptr;
        r.table = fmt::format("{}: no DTB of type {} stored\n", card.bdf, type);
        r.exit_code = CTL_EXIT_NOTHING_TO_DO;
        return r;
    }
    bar.update(0, 5, "Reading DTB");
    req.buffer = buf.data();
    req.buffer_size = static_cast<uint32_t>(buf.size());
    aml_card_dtb_get_rsp_s rsp2;
    status = aml_card_dtb_get(&req, &rsp2);
    if (status != AML_STATUS_OK) {
        bar.finish();
        ctl_fail(status, rsp2.error.empty() ? "the DTB grew while it was read" : rsp2.error);
    }
    write_file(out, buf.data(), std::min<size_t>(rsp2.size, buf.size()));
    bar.update(0, 100, "Done");
    bar.finish();
    r.doc["size"] = rsp2.size;
    r.doc["file"] = out;
    r.table = fmt::format("{}: {} bytes of DTB type {} written to {}\n", card.bdf, rsp2.size, type, out);
    return r;
}

std::vector<aml_pcie_device_s> pcie_devices(const std::string& which)
{
    if (which == "network") {
        return aml_pcie_host_network_devices();
    }
    if (which == "mgmt") {
        return aml_pcie_card_mgmt_devices();
    }
    auto all = aml_pcie_host_network_devices();
    for (const auto& d : aml_pcie_card_mgmt_devices()) {
        all.push_back(d);
    }
    return all;
}

ctl_result pcie_bind(const std::string& name, const std::string& which, bool bind)
{
    aml_card_handle_s card = ctl_select_card(name);
    if (!bind) {
        ctl_confirm_or_stop("Unbind the host drivers (" + which + ") of card " + card.bdf + "?");
    }
    if (bind) {
        ctl_call(aml_card_bind_pcie_devices, aml_card_bind_pcie_devices_req_s{card, pcie_devices(which)});
    } else {
        ctl_call(aml_card_unbind_pcie_devices, aml_card_unbind_pcie_devices_req_s{card, pcie_devices(which)});
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"devices", which}, {bind ? "bound" : "unbound", true}};
    r.table = card.bdf + ": " + which + " devices " + (bind ? "bound" : "unbound") + "\n";
    return r;
}

ctl_result pcie_remove(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_confirm_or_stop("Remove card " + card.bdf + " from the PCIe tree?");
    aml_card_pcie_remove_req_s req;
    req.bdf = card.bdf;
    auto rsp = ctl_call(aml_card_pcie_remove, req);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"host_port", rsp.host_port}, {"removed", true}};
    r.table = card.bdf + " removed; `orlixctl pcie rescan " + rsp.host_port + "` brings it back\n";
    return r;
}

ctl_result pcie_rescan(const std::string& address, uint32_t delay)
{
    ctl_require_root();
    ctl_library_init();
    std::string bdf = ctl_lower(address);
    aml_pcie_rescan_req_s req;
    req.bdf = bdf.size() == 7 ? "0000:" + bdf : bdf;
    req.delay = delay;
    ctl_call(aml_pcie_rescan, req);
    ctl_result r;
    r.doc = json{{"address", req.bdf}, {"rescanned", true}};
    r.table = req.bdf + " rescanned\n";
    return r;
}

ctl_result pcie_cap_set(const std::string& name, const std::string& port_text, uint32_t uemsk, uint32_t dpccr)
{
    aml_card_handle_s card = ctl_select_card(name);
    std::string port = ctl_lower(ctl_trim(port_text));
    port = port.size() == 7 ? "0000:" + port : port;  // BB:DD.F in domain 0
    ctl_confirm_or_stop(fmt::format("Write AER mask 0x{:08x} and DPC control 0x{:04x} on port {}?", uemsk, dpccr, port));
    aml_card_pcie_cap_set_req_s req;
    req.card = card;
    req.port = port;
    req.uemsk = uemsk;
    req.dpccr = dpccr;
    ctl_call(aml_card_pcie_cap_set, req);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"port", port}, {"uemsk", uemsk}, {"dpccr", dpccr}};
    r.table = fmt::format("{}: port {} uemsk 0x{:08x} dpccr 0x{:04x}\n", card.bdf, port, uemsk, dpccr);
    return r;
}

// the board services talk to the card VMB_BDF names
void pal_bind(const aml_card_handle_s& card)
{
    setenv("VMB_BDF", card.bdf.c_str(), 1);
}

std::string printable(const uint8_t* p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += p[i] >= 0x20 && p[i] < 0x7f ? static_cast<char>(p[i]) : ' ';
    }
    return ctl_trim(s);
}

std::string hex_dump(const uint8_t* p, size_t n, size_t base)
{
    std::string out;
    for (size_t i = 0; i < n; i += 16) {
        out += fmt::format("{:04x}:", base + i);
        for (size_t k = i; k < i + 16 && k < n; k++) {
            out += fmt::format(" {:02x}", p[k]);
        }
        out += "\n";
    }
    return out;
}

ctl_result qsfp_show(const std::string& name, uint32_t port, bool raw, int page)
{
    aml_card_handle_s card = ctl_select_card(name);
    pal_bind(card);
    ctl_result r;
    if (raw) {
        uint8_t buf[128];
        uint32_t offset = page < 0 ? 0 : 128;
        uint32_t pg = page < 0 ? PAL_QSFP_LOWER_PAGE : static_cast<uint32_t>(page);
        if (pal_qsfp_read_page(buf, sizeof buf, offset, pg, 1, port) != 0) {
            throw ctl_error(CTL_EXIT_FAILURE, fmt::format("Error - cannot read port {} of card {}", port, card.bdf));
        }
        json bytes = json::array();
        for (uint8_t b : buf) {
            bytes.push_back(b);
        }
        r.doc = json{{"address", card.bdf}, {"port", port}, {"page", page < 0 ? json("lower") : json(page)},
                     {"offset", offset}, {"bytes", bytes}};
        r.table = hex_dump(buf, sizeof buf, offset);
        return r;
    }
    uint8_t lower[128], upper[128];
    if (pal_qsfp_read_page(lower, sizeof lower, 0, PAL_QSFP_LOWER_PAGE, 1, port) != 0 ||
        pal_qsfp_read_page(upper, sizeof upper, 128, 0, 1, port) != 0) {
        throw ctl_error(CTL_EXIT_FAILURE, fmt::format("Error - cannot read port {} of card {}", port, card.bdf));
    }
    // SFF-8636: identifier at 0, temperature at 22 (signed, 1/256 degree),
    // supply voltage at 26 (100 uV units); page 0: vendor name 148-163,
    // part number 168-183
    uint8_t identifier = lower[0];
    double temperature = static_cast<int16_t>(lower[22] << 8 | lower[23]) / 256.0;
    double voltage = static_cast<uint16_t>(lower[26] << 8 | lower[27]) / 10000.0;
    std::string vendor = printable(upper + (148 - 128), 16);
    std::string part = printable(upper + (168 - 128), 16);
    r.doc = json{{"address", card.bdf},      {"port", port},
                 {"identifier", identifier}, {"vendor_name", vendor},
                 {"part_number", part},      {"temperature_c", temperature},
                 {"supply_voltage_v", voltage}};
    r.table = ctl_fields({{"address", card.bdf},
                          {"port", std::to_string(port)},
                          {"identifier", fmt::format("0x{:02x}", identifier)},
                          {"vendor_name", vendor},
                          {"part_number", part},
                          {"temperature", fmt::format("{:.2f} C", temperature)},
                          {"supply_voltage", fmt::format("{:.4f} V", voltage)}});
    return r;
}

ctl_result cpld_show(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    pal_bind(card);
    uint32_t rev = 0, id = 0, minor = 0, boot = 0;
    int rc = pal_ipc_c_cpld_rev(&rev);
    if (rc < 0) {
        throw ctl_error(CTL_EXIT_FAILURE, fmt::format("Error - the CPLD of card {} does not answer ({})", card.bdf, rc));
    }
    (void)pal_ipc_c_cpld_id(&id);
    (void)pal_ipc_c_cpld_minor_rev(&minor);
    (void)pal_ipc_c_cpld_boot_status(&boot);
    int events = pal_ipc_c_get_rst_event();
    int cause = pal_ipc_c_get_rstcause();
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"revision", rev},     {"id", id},
                 {"minor_revision", minor}, {"boot_status", boot}, {"reset_cause", cause},
                 {"reset_events", events}};
    r.table = ctl_fields({{"address", card.bdf},
                          {"revision", std::to_string(rev)},
                          {"id", std::to_string(id)},
                          {"minor_revision", std::to_string(minor)},
                          {"boot_status", fmt::format("0x{:x}", boot)},
                          {"reset_cause", std::to_string(cause)},
                          {"reset_events", fmt::format("0x{:x}", events)}});
    return r;
}

}  // namespace

void ctl_add_other_commands(CLI::App& app, ctl_runner& run)
{
    static std::string out, which = "all", port_addr, address, kind = "all";
    static bool suc = false, raw = false;
    static uint32_t type = 1, port = 1, delay = 0, uemsk = 0, dpccr = 0;
    static int page = -1;
    auto output = [](CLI::App& c) { c.add_option("-o,--output", out, "file to write")->required(); };
    auto devices = [](CLI::App& c) {
        c.add_option("--devices", which, "network, mgmt or all")
            ->check(CLI::IsMember({"network", "mgmt", "all"}))
            ->capture_default_str();
    };
    ctl_add_commands(ctl_add_group(app, "coredump", "stored coredumps of the card and its SUC"),
                     {{"get", "save the stored coredump", true, false,
                       [output](CLI::App& c) {
                           output(c);
                           c.add_flag("--suc", suc, "the SUC's coredump instead of the card's");
                       },
                       [] { return coredump_get(ctl_card_arg(), out, suc); }},
                      {"clear", "clear the stored coredumps (card, SUC or both)", true, true,
                       [](CLI::App& c) {
                           c.add_option("--kind", kind, "card, suc or all")
                               ->check(CLI::IsMember({"card", "suc", "all"}))
                               ->capture_default_str();
                       },
                       [] { return coredump_clear(ctl_card_arg(), kind); }}},
                     run);
    ctl_add_commands(ctl_add_group(app, "dtb", "device-tree blobs"),
                     {{"get", "save a device-tree blob", true, false,
                       [output](CLI::App& c) {
                           output(c);
                           // the card says which types it has: the library names a type it refuses
                           c.add_option("--type", type, "DTB type (1 to 4 on today's cards)")->capture_default_str();
                       },
                       [] { return dtb_get(ctl_card_arg(), out, type); }}},
                     run);
    ctl_add_commands(
        ctl_add_group(app, "pcie", "the card on the host's PCIe bus"),
        {{"unbind", "unbind the host drivers of the card's functions", true, true, devices,
          [] { return pcie_bind(ctl_card_arg(), which, false); }},
         {"bind", "bind the host drivers of the card's functions", true, false, devices,
          [] { return pcie_bind(ctl_card_arg(), which, true); }},
         {"remove", "remove the card from the PCIe tree", true, true, {}, [] { return pcie_remove(ctl_card_arg()); }},
         {"rescan", "rescan below a PCIe function (the host port of a removed card)", false, false,
          [](CLI::App& c) {
              c.add_option("ADDRESS", address, "PCI address DDDD:BB:DD.F")->required();
              c.add_option("--delay", delay, "seconds to wait first")->capture_default_str();
          },
          [] { return pcie_rescan(address, delay); }},
         {"cap-set", "write AER mask and DPC control of the card's host port", true, true,
          [](CLI::App& c) {
              c.add_option("--port", port_addr, "PCI address of the host port")->required();
              c.add_option("--uemsk", uemsk, "AER uncorrectable error mask")->required();
              c.add_option("--dpccr", dpccr, "DPC control")->required();
          },
          [] { return pcie_cap_set(ctl_card_arg(), port_addr, uemsk, dpccr); }}},
        run);
    ctl_add_commands(ctl_add_group(app, "qsfp", "transceiver modules"),
                     {{"show", "identifier, vendor, part number, temperature, voltage", true, false,
                       [](CLI::App& c) {
                           c.add_option("PORT", port, "port number, from 1")->required()->check(CLI::Range(1u, 255u));
                           c.add_flag("--raw", raw, "hex dump of a page");
                           c.add_option("--page", page, "upper page for --raw (the lower memory without it)")
                               ->check(CLI::Range(0, 255));
                       },
                       [] { return qsfp_show(ctl_card_arg(), port, raw, page); }}},
                     run);
    ctl_add_commands(ctl_add_group(app, "cpld", "the card's board controller"),
                     {{"show", "revision, id, boot status, reset cause", true, false, {},
                       [] { return cpld_show(ctl_card_arg()); }}},
                     run);
}
