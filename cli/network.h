// Network files and MNIST-style data sets for the command-line program: the
// library's loaders, with every failure turned into a one-line message that
// names the file.
#pragma once

#include "nnet.h"

#include <string>
#include <vector>

namespace tamrix::cli {

// Replaces the network's layers by those of a network file. Throws Failure
// naming the file with the loader's own message (in UTF-8).
void LoadNetwork(nnet::CNetwork& net, const std::string& path);

// The star network shipped with the program: share/tamrix/stars.net beside
// the installed program's folder, or the source tree's data/stars.net for the
// program in its build folder. Throws Failure when there is none.
std::string ShippedNetwork();

// The neuron count of every layer, from the file's header alone.
std::vector<int> NetworkShape(const std::string& path);

class AtomicFile;

// Writes the network into the file and commits it: whole, or not at all.
void SaveNetwork(nnet::CNetwork& net, AtomicFile& file);

// The neuron counts of a network's layers, input layer first.
std::vector<int> LayerSizes(const nnet::CNetwork& net);

// "784-30-10"
std::string ShapeText(const std::vector<int>& sizes);

// Which of the object's two sets LoadSet fills.
enum class DataSet { Training, Test };

// Reads an IDX image file and its label file (either may be gzip'd) into one
// set of `data`. The headers are checked first so that every refusal says
// what is wrong with which file; returns the number of samples.
int LoadSet(nnet::CMNIST& data, DataSet set, const std::string& images, const std::string& labels);

// Samples whose largest network output is at the label's class.
int CountCorrect(nnet::CNetwork& net, int count, int inputSize, float** inputs, float** targets);

} // namespace tamrix::cli
