// A picture's rating kept beside it as an XMP sidecar (IMG_0003.jpg ->
// IMG_0003.xmp) in the form photo tools read: x:xmpmeta / rdf:RDF /
// rdf:Description with an xmp:Rating attribute, -1 for a rejected picture,
// 0 for none, 1 to 5 stars. The format is described in RatingSidecar.md.
//
// The sidecar follows the pictures' rules (OutputFolder, OutputFiles): it
// is reached only through opened folders, the output folder the user named
// and then each folder below it with O_NOFOLLOW, so a symbolic link planted
// there is refused and nothing is ever written outside it; a write is
// ReplaceDurably's (hidden file fsync'ed, renamed over the sidecar, folder
// fsync'ed), so a crash leaves the old rating or the new one, never a torn
// file, and a reader never sees half of one.
// Thread: any; two writers of one sidecar leave one of their ratings.
#ifndef TETHER_HOST_SAVING_RATING_SIDECAR_H_
#define TETHER_HOST_SAVING_RATING_SIDECAR_H_

#include <optional>
#include <string>

namespace tether_host {

constexpr int kRatingRejected = -1;
constexpr int kRatingMax = 5;

// The sidecar's text for `rating` (kRatingRejected..kRatingMax).
std::string RatingSidecarText(int rating);
// The rating in a sidecar's text (attribute or element form); empty when it
// holds none in range.
std::optional<int> ParseRatingSidecar(const std::string& text);

// "IMG_0003.xmp" for "IMG_0003.jpg" (relative names keep their folders).
std::string SidecarNameFor(const std::string& pictureName);

// Writes the sidecar of the picture at `pictureName`, relative to `outDir`
// ("IMG_0003.jpg", "2026/05/IMG_0003.jpg"). False with *error when a name
// leaves the folder ("..", absolute), a folder on the way is a symbolic
// link or missing, or the system fails.
bool WriteRatingSidecar(const std::string& outDir, const std::string& pictureName, int rating,
                        std::string* error);
// The rating in the sidecar of that picture, read the same way (bounded);
// empty when there is none or it cannot be read.
std::optional<int> ReadRatingSidecar(const std::string& outDir, const std::string& pictureName);

}  // namespace tether_host

#endif  // TETHER_HOST_SAVING_RATING_SIDECAR_H_
