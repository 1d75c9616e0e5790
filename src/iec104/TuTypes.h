// Enumerations shared by the single-command builder and the telecontrol element.
#pragma once

#include <cstdint>

namespace telegate {

// The command a telecontrol element carries.
enum TTUCommand : uint8_t { tuCommand_Empty, tuCommand_On, tuCommand_Off };

// Steps of one select-before-operate command.
enum TStepTU : uint8_t {
    stuNone,          // idle
    stuInit,          // accepted, nothing built yet
    stuFormSelect,    // select built, waiting to be queued
    stuSendSelect,    // select queued for sending
    stuActSelect,     // select confirmed by the station
    stuFormExecute1,  // execute built, waiting to be queued
    stuSendExecute    // execute queued
};

}  // namespace telegate
