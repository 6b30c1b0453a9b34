// Network files for the front-ends: the shape in a file's header however
// long it is, and whether a network of a given shape can go through a file
// and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamrix::intake {

// A message of the library's network-file functions (Windows-1250 text, as
// SaveNet, LoadNet and LoadNetParameters write it) in UTF-8. The bytes
// Windows-1250 leaves undefined become U+FFFD.
std::string LibraryMessage(const char* message);

// The neuron count of every layer of a network file, input layer first, read
// from its header however far it runs (the library's LoadNetParameters sees
// the first 1024 bytes only). Accepts exactly the headers LoadNet accepts, in
// a file LoadNet would read: at most 8 MiB, version 1, 1 to 100 layers of at
// least one neuron (a single layer of at most 2^23). Throws std::runtime_error otherwise, with one line that
// names the file and gives the library's own message for the fault (line
// number and what was expected there), in UTF-8.
std::vector<int> ReadNetworkShape(const std::string& path);

// Bytes of the shortest file SaveNet writes for a network of these layer
// sizes (every value "0.00000"); INT64_MAX when it would be larger.
int64_t ShortestNetworkFile(const std::vector<int>& sizes);

// Throws std::invalid_argument, with one line that says why, for a shape no
// network file can carry: other than 1 to 100 layers, a layer of no neurons,
// a single layer above 2^23 neurons, or a shortest file above the 8 MiB
// LoadNet reads. A shape that passes has
// fewer than 2^20 weights and biases, each taking 8 bytes of the file or more.
void CheckNetworkShape(const std::vector<int>& sizes);

} // namespace tamrix::intake
