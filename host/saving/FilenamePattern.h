// Names for saved files from a pattern, as a photographer writes it:
//   %f  the camera's file name without its extension
//   %C  the file's extension: "dng", "jpg" or "thumb.jpg"
//   %n  the picture's number within the session (1, 2, ...)
//   %Y %m %d %H %M %S  the capture's local date and time
//   %%  a percent sign
// A pattern without %C gets ".%C" appended, so a capture's files never share
// a name. '/' makes folders (created when needed); "./" parts are dropped;
// absolute paths and ".." are refused. A name that is taken gets "-1", "-2", ... before the
// extension's dot: IMG_0003-1.dng, IMG_0003-1.jpg, IMG_0003-1.thumb.jpg.
// A camera's name too long for the file system is shortened (by bytes, on a
// UTF-8 boundary) so that every part of the path fits NAME_MAX with the
// longest extension and the widest suffix: the stem is the same for every
// file of a capture whatever its kind or suffix.
#ifndef TETHER_HOST_FILENAME_PATTERN_H_
#define TETHER_HOST_FILENAME_PATTERN_H_

#include <chrono>
#include <string>
#include <vector>

namespace tether_host {

inline constexpr char kDefaultFilenamePattern[] = "%f.%C";

// What a capture contributes to its files' names.
struct NameFields {
  std::string cameraStem;  // the camera's name, extension and folders stripped
  int number = 0;
  std::chrono::system_clock::time_point time;
};

class FilenamePattern {
 public:
  FilenamePattern();  // kDefaultFilenamePattern
  // False with *error naming the problem for a malformed pattern.
  static bool parse(const std::string& text, FilenamePattern* pattern, std::string* error);
  // Lines about a pattern that parses but makes awkward names: the
  // extension twice, hidden names (a leading '.'), ':' (refused by the file
  // systems of cards and other machines). Empty when there is nothing to say.
  static std::vector<std::string> warnings(const std::string& text);

  // The path relative to the output folder for a file with extension `ext`
  // ("dng"), with suffix n (0: none).
  std::string expand(const NameFields& fields, const std::string& ext, int n) const;

 private:
  std::string render(const NameFields& fields, const std::string& stem, const std::string& ext,
                     int n) const;
  // fields.cameraStem cut short enough for every name it can appear in.
  std::string fittedStem(const NameFields& fields, const std::string& ext) const;

  std::string mText;
};

}  // namespace tether_host

#endif  // TETHER_HOST_FILENAME_PATTERN_H_
