#pragma once

#include <optional>
#include <string>

namespace kb {

class ProgramFolder;
class Reporter;
class Shell;

// The text a shell-open failure code stands for; nothing for a success (32 or more).
std::optional<std::string> shellFailureText(int code);

// Opens a file with the program associated with it; a failure code becomes a box and a log line.
void Sub_ShowFlie(Shell& shell, Reporter& reporter, const std::string& path);
// Opens "Readme.txt" of the program folder.
void Sub_ShowHelpFlie(Shell& shell, Reporter& reporter, const ProgramFolder& folder);
// Opens the project's web page in the browser.
void Sub_ShowWebFlie(Shell& shell, Reporter& reporter);

} // namespace kb
