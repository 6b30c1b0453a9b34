// nnet: a small fully connected feed-forward network (multilayer perceptron)
// with logistic activations in every layer after the input layer, trained by
// mini-batch backpropagation on the squared error.
//
// A network detects the processor's vector level once, at construction; the
// level picks the layer class that evaluates it (scalar, SSE, AVX or AVX2)
// and the alignment of every numeric buffer it owns. Everything is single
// precision and single-threaded: one network serves one thread at a time.
//
// This header declares no inline functions on purpose: it is included by
// sources built for different instruction sets.
#pragma once

#include <cstdint>

#include "tamrix_export.h"

namespace nnet {

// The processor's vector level; also the layer class and buffer alignment.
enum TSIMDlevel : int32_t {
    SIMD_NONE = 0, // scalar layers, plain heap buffers
    SIMD_SSE = 1, // SSE3: CLayerSSE, buffers aligned to 16 bytes
    SIMD_AVX = 2, // AVX: CLayerAVX, buffers aligned to 32 bytes
    SIMD_AVX2 = 3, // AVX2: CLayerAVX2, buffers aligned to 32 bytes
};

// The window message Learn posts after every epoch (WM_USER + 12345).
constexpr unsigned kLearnEpochMessage = 13369;

// Limits of the network text file (SaveNet, LoadNet), for hosts that check a
// network or a file before handing it over.
constexpr int kNetFileMaxBytes = 0x800000; // the largest file LoadNet reads
constexpr int kNetFileMaxLayers = 100; // LoadNet reads 1 to this many layers
constexpr int kNetFileDecimals = 5; // digits after the point of every saved value
constexpr int kNetFileMaxValueChars = 30; // the longest value text LoadNet reads
// The text every message of LoadNet and LoadNetParameters begins with, in
// Windows-1250 (Czech: error reading the neural network).
constexpr char kNetFileReadError[] = "Chyba \xE8ten\xED neuronov\xE9 s\xEDt\xEC";
// The most neurons of a network of one layer, which no values in the file
// bound: one float for each byte of the largest file, as much as the largest
// network a file carries holds (2^22 inputs and one row of as many weights).
constexpr int kNetFileMaxSingleLayer = kNetFileMaxBytes;

class CLayer;

class TAMRIX_API CNetwork {
public:
    // Detected at construction. Tests and hosts may set it to a lower level
    // between the default constructor and Init to force that level; it must
    // not change while the network holds layers or blocks from Alloc.
    TSIMDlevel SIMDlevel;
    int32_t NumLayers; // layers, the input layer included; 0 when empty
    CLayer** Layers; // Layers[0] is the input layer, Layers[NumLayers - 1] the output layer

    // An empty network on the detected level.
    CNetwork();
    // A network of numLayers layers with neurons[i] neurons each (see Init).
    CNetwork(int numLayers, const int* neurons);
    ~CNetwork();
    CNetwork(const CNetwork&) = delete;
    // Member-wise: the copy shares the layers, and only one of the two may
    // release them (the other must be emptied by assigning an empty network).
    CNetwork& operator=(const CNetwork&);

    // Builds numLayers layers, input layer first, with random weights (normal
    // with standard deviation 1/sqrt(inputs)) and biases (standard normal)
    // from Lib::RAND; call Lib::FixSeed first for reproducible weights. Layers
    // already present are released first. numLayers below 1 or a neuron count
    // below 1 leaves the network empty. When a buffer cannot be allocated,
    // everything built so far is released, the network is left empty and
    // std::bad_alloc is thrown.
    void Init(int numLayers, const int* neurons);
    // Releases all layers; the network is empty afterwards.
    void Done();

    // Sets SIMDlevel from the processor: AVX2, else AVX (each with the wide
    // registers saved by the operating system), else SSE3, else none.
    void InitSIMDlevel();
    TSIMDlevel GetSIMDlevel() const;

    // Heap blocks by the level's rule (16-byte aligned at SIMD_SSE, 32-byte at
    // SIMD_AVX and SIMD_AVX2, plain otherwise), not zero-filled; null when the
    // heap is exhausted. Callers use them for vectors the network's vector
    // code reads. A block is released by a network of the same level. ReAlloc
    // keeps the contents up to the smaller size and the alignment; a size of 0
    // releases the block and returns null.
    void* Alloc(unsigned int size);
    void* ReAlloc(void* block, unsigned int size);
    void Free(void* block);

    // Evaluates the network on input[nIn] into output[nOut]. False, with
    // nothing written, when the lengths differ from the first and last layer
    // or the network is empty.
    bool Infer(int nIn, const float* input, int nOut, float* output);

    // Gradient of E = 1/2 sum (output - target)^2 for one sample, left in
    // every non-input layer's BiasGrad (the deltas) and WeightGrad, which must
    // be allocated (Learn does). deltaA and deltaB are scratch vectors of at
    // least the largest non-input layer's neuron count: afterwards deltaA
    // holds the output deltas and deltaB those of the last hidden layer (and
    // the two alternate further down). The three variants compute the same
    // thing with scalar code, 4-lane and 8-lane vectors; target and scratch
    // need no particular alignment. False, with nothing written, for wrong
    // lengths, a network of fewer than two layers or one without gradient
    // buffers.
    bool Backpropagate(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB);
    bool BackpropagateSSE(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB);
    bool BackpropagateAVX(int nIn, const float* input, int nOut, const float* target, float* deltaA, float* deltaB);

    // True when no weight or bias is NaN (infinities pass).
    bool CheckNANs();

    // Mini-batch gradient descent: per epoch a fresh shuffle (Lib::RANDOM),
    // then batches of batchSize samples while the batch start is below
    // numSamples - batchSize (so the last batch of every epoch is left out),
    // each followed by w -= (rate / batchSize) * (sum of the batch's
    // gradients). With a window, kLearnEpochMessage is posted after every
    // epoch with wParam = epoch (from 0) and lParam = its milliseconds.
    // unused has no effect. Returns false, without training, for a batch size
    // below 1, a negative sample count, lengths that differ from the first and
    // last layer, a network of fewer than two layers, or exhausted memory.
    bool Learn(int numSamples, int nIn, float** inputs, int nOut, float** targets, int batchSize, float rate,
        float unused, int epochs, void* window);

    // The network text file: "neural_network", "version;1", "layers;L", one
    // "layer;i;n" line per layer, then per non-input layer a "biases;i;..."
    // line and one "weights;i;j;..." line per neuron, values with 5 decimals,
    // every line ending in CR LF. Names and messages follow the bound-and-
    // pointer convention (bound = capacity - 1). On failure each writes one
    // message, cut to the buffer and zero-terminated (Windows-1250 text), and
    // returns false; on success the message buffer is untouched.

    // Writes the layers to a new or replaced file. Never writes a file that
    // LoadNet refuses: fails, before creating anything, for a network of
    // 0 or more than 100 layers, a single layer of more than 8,388,608
    // neurons, a value that is not finite or whose text would exceed 30
    // characters, a line above 8,388,607 characters or a file above
    // 8,388,608 bytes; fails also when the file cannot be created or
    // written.
    bool SaveNet(int nameBound, const char* name, int messageBound, char* message);
    // Replaces the layers by those of a file of at most 8,388,608 bytes.
    // Strict: spaces and tabs may precede a token, nothing else deviates from
    // what SaveNet writes; the message names the line and what was expected.
    // A failure before the last layer line has been read leaves the network
    // as it was; a later one leaves the file's layers with the values read
    // so far, except in a file too short for the values its counts call
    // for, which is refused without building anything. Throws nothing: when
    // the layers cannot be allocated the network is left empty.
    bool LoadNet(int nameBound, const char* name, int messageBound, char* message);
    // Reads only the header within the first 1024 bytes: *layerCount = L and
    // neuronsArray[0 ... L - 1] (room for arrayBound + 1 entries) the neuron
    // counts, each written as soon as it is read, so that after a "too short"
    // failure *layerCount tells the size to call again with. The network is
    // not used.
    bool LoadNetParameters(int nameBound, const char* name, int* layerCount, int arrayBound, int* neuronsArray,
        int messageBound, char* message);
};

// A network that also holds a training and a test set read from MNIST-style
// IDX files (images and labels), in the form Learn takes. Its members follow
// those of CNetwork, so every network operation works on it.
class TAMRIX_API CMNIST : public CNetwork {
public:
    // One set each: Count samples, pointer arrays of Count entries (plain
    // heap, std::calloc) to vectors from this object's Alloc of InputSize and
    // OutputSize floats. The object owns everything these members hold.
    int32_t TrainCount = 0;
    int32_t TrainInputSize = 0;
    float** TrainInputs = nullptr;
    int32_t TrainOutputSize = 0;
    float** TrainOutputs = nullptr;
    int32_t TestCount = 0;
    int32_t TestInputSize = 0;
    float** TestInputs = nullptr;
    int32_t TestOutputSize = 0;
    float** TestOutputs = nullptr;

    // Empty network, empty sets.
    CMNIST();
    // Network as CNetwork(numLayers, neurons), empty sets.
    CMNIST(int numLayers, const int* neurons);
    // Frees every vector of both sets (Count entries each, null ones
    // skipped), the pointer arrays, then the layers.
    ~CMNIST();
    CMNIST(const CMNIST&) = delete;
    // Member-wise, like CNetwork's: the copy shares the layers and the sets.
    CMNIST& operator=(const CMNIST&);

    // Reads an image file (magic 2051, count, rows, columns, then one byte
    // per pixel) and its label file (magic 2049, the same count, one byte per
    // label) into one set: *count samples of *inputSize = rows * columns
    // values pixel / 128 - 1, and one-hot targets of *outputSize = 10. False
    // for a missing or unreadable file, a wrong magic number, a header the
    // file is too short for, counts that differ, or a label above 9. The
    // outputs receive each part as it is made, so after a failure they hold
    // what was read so far (pass a set's members and the destructor frees
    // it); a header refused before any output is written leaves them as they
    // were. Vectors the outputs held before are not released.
    bool LoadMNIST(int imageNameBound, const char* imageName, int labelNameBound, const char* labelName, int* count,
        int* inputSize, float*** inputs, int* outputSize, float*** targets);

private:
    void FreeSet(int count, float**& vectors);
};

// One layer. The network creates and destroys its layers; hosts read and set
// their data members (the class is exported so that its type information
// reaches them too). Every float
// buffer and every row is a separate block allocated by the network's rule
// (Network->Alloc); the arrays of row pointers are plain heap memory.
class TAMRIX_API CLayer {
public:
    CNetwork* Network; // owner; its level chooses the allocation of every buffer
    CLayer* Prev; // previous layer; null for the input layer
    int32_t NumNeurons; // n
    int32_t Blocks4; // n / 4: whole 4-float blocks
    int32_t Blocks8; // n / 8: whole 8-float blocks
    float* Outputs; // [n] activations (the input vector for the input layer)
    float* Sums; // [n] bias + weighted sum; null for the input layer
    float** Weights; // [n][m], m = Prev->NumNeurons: weight of input j for neuron i
    float* Biases; // [n]
    float** WeightGradSum; // [n][m] batch sums of WeightGrad; null until the first Learn
    float* BiasGradSum; // [n]
    float** WeightGrad; // [n][m] gradient of the last sample
    float* BiasGrad; // [n] deltas of the last sample

    // Allocates the buffers; for a non-input layer calls Lib::RANDOMIZE once
    // and draws 2 m + 2 values of Lib::RAND per neuron. Throws std::bad_alloc,
    // with nothing left allocated, when a buffer cannot be had.
    CLayer(CNetwork* network, CLayer* prev, int numNeurons);
    // Virtual so that a layer of any class is released correctly through a
    // CLayer pointer.
    virtual ~CLayer();
    CLayer(const CLayer&) = delete;
    CLayer& operator=(const CLayer&) = delete;

    // Sums = Biases + Weights * Prev->Outputs; Outputs = 1 / (exp(-Sums) + 1).
    virtual void Evaluate();

private:
    void Release();
};

// The derived classes add no members. Their destructors are declared so
// that they are defined once, in their own sources, rather than as inline
// copies.

// 4-float blocks with SSE3; the exponential of whole neuron blocks is a
// polynomial, the rest of the neurons use expf.
class TAMRIX_API CLayerSSE : public CLayer {
public:
    CLayerSSE(CNetwork* network, CLayer* prev, int numNeurons);
    ~CLayerSSE() override;
    void Evaluate() override;
};

// 8-float blocks with AVX (integer steps of the exponential on 4-lane halves).
class TAMRIX_API CLayerAVX : public CLayer {
public:
    CLayerAVX(CNetwork* network, CLayer* prev, int numNeurons);
    ~CLayerAVX() override;
    void Evaluate() override;
};

// 8-float blocks with AVX2.
class TAMRIX_API CLayerAVX2 : public CLayer {
public:
    CLayerAVX2(CNetwork* network, CLayer* prev, int numNeurons);
    ~CLayerAVX2() override;
    void Evaluate() override;
};

} // namespace nnet
