#pragma once

#include <QString>

// What the program and the pump cabinets agree on over Modbus TCP.
namespace CabinetProtocol {

constexpr int FrameSize = 12; // every request and every answer the program relies on
constexpr int HeaderSize = 7; // transaction, protocol, length, unit
constexpr int FunctionOffset = 7;
// An answer with this bit in its function code is a Modbus exception answer:
// header, function, exception code.
constexpr int ExceptionFlag = 0x80;
constexpr int ExceptionFrameSize = 9;

// How long an answer is, from its function code.
constexpr int answerLengthFor(char function)
{
    return (quint8(function) & ExceptionFlag) ? ExceptionFrameSize : FrameSize;
}

constexpr int ReadInputRegister = 4;
constexpr int WriteSingleRegister = 6;

enum Register : int {
    StateRegister = 0,
    CrpmRegister = 2,
    DirectionRegister = 3,
    RunRegister = 7, // 0 starts the rotor, 1 stops it
    IdentifyRegister = 8,
    TemperatureRegister = 13, // tenths of a degree Celsius
};

constexpr int RunStart = 0;
constexpr int RunStop = 1;

// Rotor state codes of register 0; a rotor runs exactly at Running.
enum RotorState : int {
    Running = 0,
    Stopped = 1,
    EmergencyStop = 2,
    SequenceEnded = 3,
    SequenceFault = 4,
    Paused = 5,
    Priming = 6,
    TemperatureStop = 7,
};

} // namespace CabinetProtocol

// Name of a rotor state code as the cabinets report it in register 0.
QString rotorStateName(int code);
