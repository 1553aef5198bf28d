#pragma once

// the firmware-update client set up once per fuzz process

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fwupdate/fwupdate_state.h"

// the firmware-update client of the fuzz targets, once per process: its
// output files in the scratch directory, and there too the public keys the
// signature check sends, where the client looks for them
inline const std::string& fuzz_rfc_setup()
{
    static const std::string bdf = [] {
        const std::string& dir = fuzz_scratch_dir();
        fwupdate_tls().dev_oper_dir = dir + "/";
        (void)mkdir((dir + "/fwkeys").c_str(), 0700);
        for (const char* name : {"eng", "prod"}) {
            (void)fuzz_write_file(dir + "/fwkeys/" + name + "_key-pub.pem",
                                  "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
        }
        setenv("ORLIX_CONF_DIR", dir.c_str(), 1);
        return std::string("0000:3b:00.0");
    }();
    return bdf;
}
