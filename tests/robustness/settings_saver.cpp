// The program the settings crash-safety check kills: it constructs the
// settings record in the given program folder as the server does, says
// "ready" on stdout, then saves settings set B, A, B, A ... until killed
// (or until the round bound, should nobody kill it).
//
//   settings_saver FOLDER [--rounds 100000]

#include <cstdio>

#include "core/vantrel_dlg.h"
#include "tests/robustness/options.h"
#include "tests/robustness/settings_sets.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: settings_saver FOLDER [--rounds N]\n");
        return 2;
    }
    const long rounds = robustness::IntOption(argc, argv, "--rounds", 100000);
    CVantrelDlg record(argv[1]);
    std::printf("ready\n");
    std::fflush(stdout);
    for (long round = 0; round < rounds; ++round) {
        robustness::ApplySettingsSet(record, round % 2 == 0 ? robustness::SettingsSetB() : robustness::SettingsSetA());
        record.SaveSettings();
    }
    return 0;
}
