// The fault table. Every generator numbers its frames in the data (-D i) and
// the identifier (-I i), so that the ledger can find gaps.
#include "scenarios.h"

const std::vector<Scenario> &Scenarios() {
    static const std::vector<Scenario> kScenarios = {
        {"steady", {"-g", "-r", "2000", "-I", "i", "-D", "i"}, PeerEnd::kStays, 0, false, false,
         true, 0},
        {"split+garbage",
         {"-g", "-r", "20000", "-I", "i", "-D", "i", "--split", "--garbage"},
         PeerEnd::kStays, 0, false, false, true, 0},
        {"malformed",
         {"-g", "-r", "20000", "-I", "i", "-D", "i", "--split", "--garbage", "--malformed", "11"},
         PeerEnd::kStays, 11, false, false, true, 0},
        {"close", {"-g", "-r", "max", "-I", "i", "-D", "i", "--close-after", "3000"},
         PeerEnd::kCloses, 0, false, false, false, 3000},
        {"close+malformed",
         {"-g", "-r", "max", "-I", "i", "-D", "i", "--split", "--malformed", "7", "--close-after",
          "2000"},
         PeerEnd::kCloses, 7, false, false, false, 2000},
        {"reset", {"-g", "-r", "5000", "-I", "i", "-D", "i", "--reset-after", "1500"},
         PeerEnd::kResets, 0, false, false, false, 1500},
        {"reset-inside-frame",
         {"-g", "-r", "5000", "-I", "i", "-D", "i", "--garbage", "--reset-inside", "1500"},
         PeerEnd::kResets, 0, false, false, false, 1500},
        {"flood-unread", {"-g", "-r", "max", "-I", "i", "-D", "i"}, PeerEnd::kStays, 0, true,
         false, true, 0},
        {"endless-frame", {"-g", "-r", "max", "-I", "i", "-D", "i", "-n", "2000", "--endless",
                           "frame"},
         PeerEnd::kStays, 0, false, false, true, 2000},
        {"endless-garbage", {"-g", "-r", "max", "-I", "i", "-D", "i", "-n", "2000", "--endless",
                             "garbage"},
         PeerEnd::kStays, 0, false, false, true, 2000},
        {"stops-reading", {"-g", "-r", "500", "-I", "i", "-D", "i", "--stop-reading", "0"},
         PeerEnd::kStays, 0, false, true, true, 0},
        {"never-answers", {}, PeerEnd::kStays, 0, false, false, true, 0},
        {"refused", {}, PeerEnd::kRefused, 0, false, false, false, 0},
    };
    return kScenarios;
}
