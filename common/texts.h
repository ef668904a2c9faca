// The texts that more than one front end writes (somap, somap-render, the
// Python module), each in one place.
#ifndef SOMAP_COMMON_TEXTS_H
#define SOMAP_COMMON_TEXTS_H

namespace somap::text {

inline constexpr const char *kCreationFailed = "ERROR: som_network_new failed.";
inline constexpr const char *kLoadFailed = "could not load SOM from ";
inline constexpr const char *kSaveFailed = "could not save SOM to ";
// Why an output path is refused before the run starts: writing there would
// destroy one of the run's own streams.
inline constexpr const char *kStandardInputFile = "it is standard input's file";
inline constexpr const char *kStandardOutputFile = "it is standard output's file";
inline constexpr const char *kStandardErrorFile = "it is standard error's file";
inline constexpr const char *kNothingToTrain = "no input vectors to train on";
// Input that could not be read, before the reason.
inline constexpr const char *kReadFailed = "could not read standard input";

}  // namespace somap::text

#endif
