#pragma once

// What a command to a pump asks for, and which loop setting changed: the history's
// words for what a rotor head or cabinet reports having done.
enum class PumpCommand
{
    Start,
    Stop,
    Speed,
    Direction,
    Identify,
};

enum class LoopSetting
{
    Mode,
    OnTime,
    OffTime,
};
