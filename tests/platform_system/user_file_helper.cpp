// A process of its own for the tests of saves and hidden names, as a second window or a second
// run would be:
//   save PATH TEXT   saves TEXT to PATH as the editor does; the reason on standard error, exit 1
//   leave TARGET     leaves a hidden file for TARGET as a run killed while writing it does
//   sweep FOLDER     removes what dead runs left in FOLDER; prints how many items went
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <unistd.h>

#include "core/partial_file.h"
#include "platform/system/user_file.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "save") == 0) {
        const QString reason = qm::writeUserFile(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]));
        if (reason.isEmpty()) return 0;
        std::fprintf(stderr, "%s\n", reason.toLocal8Bit().constData());
        return 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "leave") == 0) {
        new qm::PartialFile(argv[2]);  // never dropped: the process ends holding it, and so lets go of its lock
        ::_exit(0);
    }
    if (argc == 3 && std::strcmp(argv[1], "sweep") == 0) {
        const qm::PartialSweep sweep = qm::sweepPartialsIn(argv[2], [](std::string_view) { return true; });
        std::printf("%d\n", sweep.removed);
        return 0;
    }
    std::fprintf(stderr, "usage: save PATH TEXT | leave TARGET | sweep FOLDER\n");
    return 2;
}
