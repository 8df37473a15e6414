// The fault table. Every generator numbers its frames in the data (-D i) and
// the identifier (-I i), so that the ledger can find gaps.
#include "scenarios.h"

const std::vector<Scenario> &Scenarios() {
    using E = PeerEnd;
    const std::vector<std::string> numbered = {"-I", "i", "-D", "i"};
    auto gen = [&](std::vector<std::string> options) {
        options.insert(options.begin(), {"-g", "-r"});
        options.insert(options.begin() + 3, numbered.begin(), numbered.end());
        return options;
    };
    // clang-format off
    // name, gateway options, end, malformed every, flood, deaf, writes, frames
    static const std::vector<Scenario> kScenarios = {
        {"steady", gen({"2000"}), E::kStays, 0, false, false, true, 0},
        {"split+garbage", gen({"20000", "--split", "--garbage"}), E::kStays, 0, false, false, true, 0},
        {"malformed", gen({"20000", "--split", "--garbage", "--malformed", "11"}), E::kStays, 11, false, false, true, 0},
        {"close", gen({"max", "--close-after", "3000"}), E::kCloses, 0, false, false, false, 3000},
        {"close+malformed", gen({"max", "--split", "--malformed", "7", "--close-after", "2000"}), E::kCloses, 7, false, false, false, 2000},
        {"reset", gen({"5000", "--reset-after", "1500"}), E::kResets, 0, false, false, false, 1500},
        {"reset-inside-frame", gen({"5000", "--garbage", "--reset-inside", "1500"}), E::kResets, 0, false, false, false, 1500},
        {"flood-unread", gen({"max"}), E::kStays, 0, true, false, true, 0},
        {"endless-frame", gen({"max", "-n", "2000", "--endless", "frame"}), E::kStays, 0, false, false, true, 2000},
        {"endless-garbage", gen({"max", "-n", "2000", "--endless", "garbage"}), E::kStays, 0, false, false, true, 2000},
        {"stops-reading", gen({"500", "--stop-reading", "0"}), E::kStays, 0, false, true, true, 0},
        {"never-answers", {}, E::kStays, 0, false, false, true, 0},
        {"refused", {}, E::kRefused, 0, false, false, false, 0},
    };
    // clang-format on
    return kScenarios;
}
