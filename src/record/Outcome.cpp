#include "record/Outcome.h"

#include "platform/PortList.h"

#include <cstring>

namespace {

struct PhaseWords {
    RunPhase phase;
    const char *name;  // in every record and in the station's view
    const char *doing; // in the operator's stop line
};

const PhaseWords kPhases[] = {
    {PHASE_NONE, "none", ""},
    {PHASE_DETECTING, "detecting", "looking for the unit"},
    {PHASE_CHECKING, "checking", "checking the unit"},
    {PHASE_FPGA, "FPGA image", "sending the Programmable Logic data"},
    {PHASE_MCU, "MCU image", "sending the uC firmware"},
    {PHASE_REBOOTING, "rebooting", "the unit was rebooting"},
    {PHASE_VERIFYING, "verifying", "asking the rebooted unit for its versions"},
};

const PhaseWords &wordsOf(RunPhase phase) {
    for (const PhaseWords &words : kPhases)
        if (words.phase == phase) return words;
    return kPhases[0];
}

// Every outcome a run ends with (and a station's for a run that did not say), with its verdict.
const std::pair<const char *, Verdict> kOutcomes[] = {
    {"no unit", VERDICT_NO_UNIT},         {"no such port", VERDICT_NO_UNIT},   {"busy", VERDICT_NO_UNIT},
    {"port failed", VERDICT_NO_UNIT},     {"port unavailable", VERDICT_NO_UNIT}, {"no permission", VERDICT_NO_UNIT},
    {"updated", VERDICT_GOOD},            {"updated and verified", VERDICT_GOOD}, {"already current", VERDICT_GOOD},
    {"identified", VERDICT_GOOD},         {"not confirmed", VERDICT_UNCONFIRMED}, {"stopped", VERDICT_STOPPED},
    {"failed", VERDICT_FAILED},           {"other firmware", VERDICT_FAILED},  {"not updatable", VERDICT_FAILED},
    {"no input", VERDICT_FAILED},         {"ended without a report", VERDICT_FAILED}};

bool oneOf(const std::string &outcome, std::initializer_list<const char *> names) {
    for (const char *name : names)
        if (outcome == name) return true;
    return false;
}

// A run that ended before it was over: its phase says what the unit holds.
bool cutShort(const std::string &outcome) { return oneOf(outcome, {"failed", "stopped", "ended without a report"}); }

enum Left { LEFT_UPDATED, LEFT_UNCHANGED, LEFT_UPDATE_AGAIN, LEFT_CHECK };

Left leftOf(const RunEnd &end) {
    if (oneOf(end.outcome, {"updated", "updated and verified"})) return LEFT_UPDATED;
    if (end.outcome == "not confirmed") return LEFT_CHECK;
    if (end.outcome == "other firmware") return LEFT_UPDATE_AGAIN;
    if (!cutShort(end.outcome)) return LEFT_UNCHANGED; // nothing was sent: no unit, busy, identified...
    switch (end.phase) {
    case PHASE_FPGA:
    case PHASE_MCU: return LEFT_UPDATE_AGAIN;
    case PHASE_REBOOTING:
    case PHASE_VERIFYING: return LEFT_CHECK;
    default: return LEFT_UNCHANGED;
    }
}

std::string percentText(int percent) { return percent >= 0 ? " at " + std::to_string(percent) + " %" : ""; }

// "FPGA image refused after ...": what became of the image that failed.
std::string imageFailure(const RunEnd &end) {
    const std::string image = phaseName(end.phase);
    std::string text;
    if (end.imageOutcome == "not ready") text = "unit not ready for the " + image;
    else if (end.imageOutcome == "refused") text = image + " refused";
    else if (end.imageOutcome == "write failed") text = image + " cut" + percentText(end.percent) + " (the line failed)";
    else if (end.imageOutcome == "line failed") text = "the line failed in the " + image + percentText(end.percent);
    else text = image + " not sent";
    if (end.phase == PHASE_MCU && end.fpgaAccepted) text += " after the FPGA image was accepted";
    return text;
}

} // namespace

int statusWithUnwrittenRecord(int status) {
    return status == EXIT_UPDATE_OK || status == EXIT_NOT_CONFIRMED ? EXIT_UPDATE_FAILED : status;
}

const char *phaseName(RunPhase phase) { return wordsOf(phase).name; }

const char *phaseDoing(RunPhase phase) { return wordsOf(phase).doing; }

RunPhase phaseNamed(const std::string &name) {
    for (const PhaseWords &words : kPhases)
        if (name == words.name) return words.phase;
    return PHASE_NONE;
}

Verdict verdictOf(const std::string &outcome) {
    for (const auto &[name, verdict] : kOutcomes)
        if (outcome == name) return verdict;
    return VERDICT_FAILED;
}

std::string outcomeDescribed(const std::string &summary) {
    std::string outcome;
    for (const auto &[name, verdict] : kOutcomes) {
        const size_t n = std::strlen(name);
        if (n > outcome.size() && summary.compare(0, n, name) == 0 && (summary.size() == n || summary[n] == ' ' || summary[n] == ':'))
            outcome = name;
    }
    return outcome;
}

const char *const OUTCOME_COLUMNS[5] = {"updated and verified", "already current", "failed", "not confirmed",
                                        "stopped"};

size_t outcomeColumn(const std::string &outcome) {
    switch (verdictOf(outcome)) {
    case VERDICT_GOOD: return outcome == "already current" ? 1 : 0;
    case VERDICT_UNCONFIRMED: return 3;
    case VERDICT_STOPPED: return 4;
    default: return 2;
    }
}

const char *unitLeft(const RunEnd &end) {
    static const char *const names[] = {"updated", "unchanged", "update again", "check before use"};
    return names[leftOf(end)];
}

const char *unitLeftSentence(const RunEnd &end) {
    static const char *const sentences[] = {
        "the unit is updated", "no image was sent, the unit is unchanged", "the unit must be updated again",
        "both images were accepted but the unit did not confirm it runs them. Check it before use, and update it"
        " again if it does not answer"};
    return sentences[leftOf(end)];
}

const char *outcomeRemedy(const std::string &outcome) {
    return outcome == "no permission" ? PortList_remedy(PORT_DENIED) : "";
}

std::vector<std::string> unitsToHandLines(const std::map<std::string, std::vector<std::string>> &left) {
    std::vector<std::string> lines;
    for (const auto &[kind, title] : {std::pair{"update again", "Update again: "}, {"check before use", "Check before use: "}}) {
        const auto units = left.find(kind);
        if (units == left.end() || units->second.empty()) continue;
        std::string line = title;
        for (size_t i = 0; i < units->second.size(); ++i) line += (i ? ", " : "") + units->second[i];
        lines.push_back(line + ".");
    }
    return lines;
}

std::string describeEnd(const RunEnd &end) {
    const Left left = leftOf(end);
    std::string text = end.outcome;
    if (*outcomeRemedy(end.outcome) != '\0') return text + ": " + outcomeRemedy(end.outcome);
    if (!cutShort(end.outcome)) {
        if (left == LEFT_UPDATE_AGAIN) text += " after the reboot";
        return left == LEFT_UPDATED || left == LEFT_UNCHANGED ? text : text + ": " + unitLeft(end);
    }
    switch (end.phase) {
    case PHASE_FPGA:
    case PHASE_MCU:
        text += end.outcome == "failed" ? ": " + imageFailure(end)
                                        : std::string(" in the ") + phaseName(end.phase) + percentText(end.percent);
        break;
    case PHASE_REBOOTING:
    case PHASE_VERIFYING: text += std::string(" while ") + phaseName(end.phase); break;
    default:
        text += end.outcome == "failed" ? std::string(" while ") + phaseName(end.phase) : " before any image";
        if (!end.why.empty()) text += " (" + end.why + ")";
    }
    return text + ": " + unitLeft(end);
}
