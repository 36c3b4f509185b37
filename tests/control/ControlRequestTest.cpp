// The verb table read both ways: what the command line sends for each of its
// commands and words is read by the daemon as that verb with that value, and
// what a verb refuses is refused with its own reply.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "control/ControlRequest.h"

namespace qb {
namespace {

// A typed value as the word that names it.
std::string spoken(const ControlArgument& argument)
{
    struct {
        std::string operator()(std::monostate) const { return "(none)"; }
        std::string operator()(int value) const { return std::to_string(value); }
        std::string operator()(bool) const { return "(bool)"; }
        std::string operator()(double value) const { return std::to_string(value); }
        std::string operator()(BacklightAction action) const
        {
            return action == BacklightAction::on ? "on" : action == BacklightAction::off ? "off" : "toggle";
        }
        std::string operator()(TabletAction) const { return "(tablet)"; }
        std::string operator()(DisplayMode mode) const { return std::string(rawValue(mode)); }
        std::string operator()(ConnectionMode mode) const { return std::string(rawValue(mode)); }
        std::string operator()(DisplayProfile profile) const { return profileName(profile); }
        std::string operator()(const ResolutionChoice& choice) const { return choice.name; }
        std::string operator()(const ControlLogFilter&) const { return "(filter)"; }
    } visitor;
    return std::visit(visitor, argument);
}

TEST(ControlRequest, EveryCommandLineWordReachesTheDaemonAsItsVerbAndValue)
{
    std::set<ControlVerb> verbs;
    for (const auto& entry : controlVerbs()) {
        SCOPED_TRACE(std::string(entry.word));
        EXPECT_TRUE(verbs.insert(entry.verb).second);
        EXPECT_EQ(controlVerbForCommand(entry.command.name), &entry);
        EXPECT_EQ(&controlVerb(entry.verb), &entry);

        const auto bare = parseControlRequest(controlRequestText(entry.verb));
        if (entry.required) {
            EXPECT_EQ(std::get<ControlRefusal>(bare).verb, entry.verb);
        } else {
            ASSERT_TRUE(std::holds_alternative<ControlRequest>(bare));
            EXPECT_EQ(std::get<ControlRequest>(bare).verb, entry.verb);
            EXPECT_FALSE(std::get<ControlRequest>(bare).hasArgument());
        }

        // Options ("--watch") and steps ("up") are the command line's own.
        if (entry.argument == WireArgument::none || entry.command.kind == ArgumentKind::byteOrStep) continue;
        const auto& values = entry.command.values;
        std::vector<std::pair<std::string, std::size_t>> words; // as typed, and the value it stands for
        for (std::size_t i = 0; i < values.size(); ++i) words.emplace_back(asciiUpper(values[i]), i);
        for (std::size_t i = 0; i < entry.command.aliases.size(); ++i) words.emplace_back(entry.command.aliases[i], i);
        for (const auto& [word, index] : words) {
            if (word.starts_with('-')) continue;
            const std::string sent = controlRequestText(entry.verb, word);
            const auto parsed = parseControlRequest(sent);
            ASSERT_TRUE(std::holds_alternative<ControlRequest>(parsed)) << sent;
            const auto& request = std::get<ControlRequest>(parsed);
            EXPECT_EQ(request.verb, entry.verb) << sent;
            ASSERT_TRUE(request.hasArgument()) << sent;
            if (const auto* on = std::get_if<bool>(&request.argument)) {
                EXPECT_EQ(*on, index == 0) << sent; // the first value: on, verbose
            } else if (entry.argument == WireArgument::choice || entry.argument == WireArgument::lenientChoice
                || entry.argument == WireArgument::resolution) {
                EXPECT_EQ(spoken(request.argument), values[index]) << sent;
            }
        }
    }
    EXPECT_EQ(verbs.size(), static_cast<std::size_t>(ControlVerb::tablet) + 1);

    // Numbers as the command line writes them, and the tablet's actions.
    EXPECT_EQ(controlRequestText(ControlVerb::brightness, "+7"), "BRIGHTNESS 7");
    EXPECT_EQ(controlRequestText(ControlVerb::latency, "--watch"), "LATENCY");
    const auto real = parseControlRequest(controlRequestText(ControlVerb::gamma, "2.5"));
    EXPECT_EQ(std::get<double>(std::get<ControlRequest>(real).argument), 2.5);
    const auto pair = parseControlRequest(controlRequestText(ControlVerb::tablet, "PAIR"));
    EXPECT_EQ(std::get<TabletAction>(std::get<ControlRequest>(pair).argument), TabletAction::pair);
}

TEST(ControlRequest, RefusalsCarryTheirVerbsReplyAndLenientVerbsAskForTheValue)
{
    const auto refusal = [](std::string_view text) { return std::get<ControlRefusal>(parseControlRequest(text)); };
    for (const char* unknown : {"", "FLY away", "\xff\xfe", "BRIGHTNESS\t7", "LOG"}) {
        EXPECT_EQ(refusal(unknown).reply, "ERR unknown command") << unknown;
        EXPECT_FALSE(refusal(unknown).verb) << unknown;
    }
    const std::pair<const char*, ControlVerb> refused[] = {{"CONTRAST 2.5", ControlVerb::contrast},
        {"gamma nan", ControlVerb::gamma}, {"DISPLAYMODE sideways", ControlVerb::displayMode},
        {"CONNECTION ", ControlVerb::connection}, {"PROFILE glossy", ControlVerb::profile},
        {"AUTOMIRROR yes", ControlVerb::autoMirror}, {"CLAMSHELL  on", ControlVerb::clamshell},
        {"TABLET", ControlVerb::tablet}, {"TABLET --browser", ControlVerb::tablet},
        {"RESOLUTION 1280X960", ControlVerb::resolution}};
    for (const auto& [text, verb] : refused) {
        EXPECT_EQ(refusal(text).verb, verb) << text;
        if (verb != ControlVerb::resolution) {
            EXPECT_EQ(refusal(text).reply, controlVerb(verb).refusal) << text;
        }
    }
    for (const char* asks : {"BRIGHTNESS abc", "WARMTH  5", "BACKLIGHT sideways", "HEALTH all", "STATUS now"}) {
        const auto parsed = parseControlRequest(asks);
        ASSERT_TRUE(std::holds_alternative<ControlRequest>(parsed)) << asks;
        EXPECT_FALSE(std::get<ControlRequest>(parsed).hasArgument()) << asks;
    }
}

} // namespace
} // namespace qb
