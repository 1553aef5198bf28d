#pragma once

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "fwupdate/fwupdate_state.h"

// the firmware-update client of the fuzz targets: its output files and key
// files in the scratch directory, once per process
inline const std::string& fuzz_rfc_setup()
{
    static const std::string bdf = [] {
        const std::string& dir = fuzz_scratch_dir();
        fwupdate_tls().dev_oper_dir = dir + "/";
        return std::string("0000:3b:00.0");
    }();
    return bdf;
}
