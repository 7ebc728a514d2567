#pragma once
// The standard streams of a program started without some of them. One
// implementation per system: standardstreams_posix.cpp and
// standardstreams_win.cpp.

namespace image {

// Gives each of standard input, output and error that the process was
// started without the null device (/dev/null, NUL), as standard tools do, so
// that no file the program opens later takes its place and receives its
// messages. Called first in main, before the application object, which opens
// descriptors of its own. False when one could not be given (on POSIX, where
// a file could take its place): the program then ends at once.
bool openMissingStandardStreams();

} // namespace image
