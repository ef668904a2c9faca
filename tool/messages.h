// Every text the program writes, in one place (with the ones it shares with
// the other front ends, in texts.h).
#ifndef SOMAP_TOOL_MESSAGES_H
#define SOMAP_TOOL_MESSAGES_H

#include "texts.h"

namespace somap::text {

inline constexpr const char *kUsageLines[] = {
    "",  // line 1 is built from the program name
    "",
    "Trains and applies a self-organizing map to the input tab-separated data on",
    "stdin, adding two columns for the x and y coordinates of the winning neuron",
    "in the network.",
    "",
    "If a map is provided, training will be skipped and the map will be applied to",
    "the input.  Maps may be saved for later use.",
    "",
    "options:",
    "    -h, --help          this dialog",
    "    -a, --apply FILE    apply the saved map to input data to FILE",
    "    -s, --save  FILE    train on input data and save the map to FILE",
    "    -x, --width X       width in columns of the output array",
    "    -y, --height Y      height in columns of the output array",
    "    -i, --iterations N  number of training iterations or epochs",
};
inline constexpr const char *kUsagePrefix = "usage: ";
inline constexpr const char *kUsageSuffix = " [options]";

inline constexpr const char *kBadIterations = "could not parse --iterations, -i";
inline constexpr const char *kBadWidth = "could not parse --width, -x";
inline constexpr const char *kBadHeight = "could not parse --height, -y";

inline constexpr const char *kLoading = "Loading ... ";
inline constexpr const char *kOutOfMemory = "out of memory";
inline constexpr const char *kOutputFailed = "could not write to standard output";
inline constexpr const char *kTrainingPrefix = "Training using ";
inline constexpr const char *kTrainingSuffix = " input vectors";
// A phase the library could not complete, before ": " and the reason.
inline constexpr const char *kPlacingFailed = "could not place the initial weights";
inline constexpr const char *kTrainingFailed = "could not train the map";
inline constexpr const char *kRecognitionFailed = "could not find the winning neurons";

// The progress line on a terminal: "Training: 250 of 1000 vectors (25%), ...".
inline constexpr const char *kProgressPlacing = "Placing weights";
inline constexpr const char *kProgressPairs = "pairs";
inline constexpr const char *kProgressTraining = "Training";
inline constexpr const char *kProgressVectors = "vectors";

inline constexpr const char *kPhaseCreation = "Network Creation";
inline constexpr const char *kPhaseTraining = "Network Training";
inline constexpr const char *kPhaseRecognition = "Input Recognition";
inline constexpr const char *kPhaseDestruction = "Network Destruction";

}  // namespace somap::text

#endif
