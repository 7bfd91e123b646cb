#pragma once

#include "app/program_folder.h"

namespace kb {

class Clock;
class FileSystem;
class IniFile;
class Reporter;
class Shell;
class UserInterface;
struct SharedState;

// What the core's routines need, handed in by whoever builds them: Main in the program, fixtures in tests.
struct Services {
    const ProgramFolder& folder;
    UserInterface& ui;
    Reporter& reporter;
    const Clock& clock;
    FileSystem& files;
    IniFile& ini;
    SharedState& state;
    Shell& shell;
};

} // namespace kb
