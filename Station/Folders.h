// The report folder and the cards' working folders in it. Everything is made
// fresh by the station, relative to descriptors of folders it made, and never
// through a symbolic link, so no run reaches into another's files.
#ifndef QEL_STATION_FOLDERS_H_
#define QEL_STATION_FOLDERS_H_

#include <string>
#include <vector>

// True for a name made only of letters, digits and "._-+", not starting with
// a dot, at most 100 characters: safe as one folder or file name anywhere.
bool IsSafeName(const std::string& name);

// "<device>-<serial>", or the device name alone for a card without a serial.
std::string CardFolderName(const std::string& deviceName, const std::string& serial);

// Makes the report folder, which must not exist yet (its parent must), and
// opens it. -1 with *error on failure.
int MakeReportFolder(const std::string& path, std::string* error);

// Makes folder `name` in folder `parentFd` and opens it; -1 with *error
// when it exists already or cannot be made.
int MakeFolderIn(int parentFd, const std::string& name, std::string* error);

// Copies folder `name` of folder `fromFd` (files and folders only, at most
// 8 levels deep) into folder `toFd` under the same name. A symbolic link or
// any other kind of file is refused, never followed.
bool CopyFolder(int fromFd, int toFd, const std::string& name, std::string* error);

// Creates file `name` in folder `dirFd` (which must not hold it yet) and
// writes `text` into it.
bool WriteNewFile(int dirFd, const std::string& name, const std::string& text,
                  std::string* error);

// Names of the tool's trace files ("%Y-%m-%d_%H-%M-%S.log") in folder
// `dirFd`, sorted.
std::vector<std::string> TraceFileNames(int dirFd);

#endif  // QEL_STATION_FOLDERS_H_
