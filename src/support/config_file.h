// "DeviceAdm.config": the debug-log levels and the debug log's location,
// read at every instance creation from the program folder.
#pragma once

#include <string>

namespace dvrlink {

// Resets lLogLevel to 0, then reads the file at path line by line. The file
// is read only when its folder lists it under exactly its name (letter case
// included). A missing file leaves the defaults; errors are logged.
void LoadConfigFile(const std::string& path);
// Handles one line; true means stop reading (LogLevel=ALL or NONE).
bool ProcessEachLine(const std::string& line);

}  // namespace dvrlink
