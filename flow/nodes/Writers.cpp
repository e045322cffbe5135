#include "flow/nodes/Writers.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "flow/Source.h"

namespace FD {

namespace {

std::unique_ptr<nodes::OutputTarget> openTarget(const NodeErrors& errors, const std::string& file,
                                                bool lines) {
    try {
        return nodes::OutputTarget::open(file, lines);
    } catch (const std::exception& e) {
        errors.refuse("FILE", e.what());
    }
}

void finishTarget(const NodeErrors& errors, nodes::OutputTarget& out) {
    try {
        out.finish();
    } catch (const std::exception& e) {
        errors.refuse("FILE", e.what());
    }
}

// A frame's text, handed on at once when the output is written in place; `count`
// is the frame being computed, -1 at the end of the stream.
void putFrame(const NodeErrors& errors, int count, nodes::OutputTarget& out, const std::string& text) {
    try {
        out.write(text);
        out.endFrame();
    } catch (const std::exception& e) {
        errors.atFrame(count, "FILE", e.what());
    }
}

// Appends `text`; `count` is the frame being computed, -1 at the end of the stream.
void put(const NodeErrors& errors, int count, FILE* f, const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        errors.atFrame(count, "FILE", "cannot write: the disk may be full");
}


// JSON numbers are written as text of our own: nlohmann's dump of a double is not always
// the shortest (0.537661 came out as 0.5376609999999999). A number always shows a point
// or an exponent ("1.0"); non-finite values have no JSON form and are written null.
std::string jsonNumber(const char* printed) {
    std::string text = printed;
    if (text.find_first_of("eE") == std::string::npos) {
        const size_t point = text.find('.');
        if (point == std::string::npos) return text + ".0";
        while (text.size() > point + 2 && text.back() == '0') text.pop_back();
    }
    return text;
}

// `v` with the precision of `format` (printf style, fixed notation).
std::string number(double v, const char* format) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof(buf), format, v);
    return jsonNumber(buf);
}

// A float as the shortest decimal that reads back as the same float (6 to 9 significant
// digits; 9 always suffice for single precision).
std::string floatNumber(float v) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(buf, sizeof(buf), "%.*g", digits, double(v));
        if (std::strtof(buf, nullptr) == v) break;
    }
    return jsonNumber(buf);
}

const Vector<ObjectRef>& listOf(const ObjectRef& ref, const NodeErrors& errors, int count, const char* port) {
    return errors.frameAs<Vector<ObjectRef>>(ref, count, port, "Vector<ObjectRef>");
}

}  // namespace

// ---------------------------------------------------------------- SourceListWriter

SourceListWriter::SourceListWriter(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("SourceListWriter", nodeName) {
    sourcesID_ = addInput("SOURCES");
    outputID_ = addOutput("OUTPUT");
    const NodeParameters p(errors_, params);
    file_ = p.text("FILE");
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    inOrder = true;
    out_ = openTarget(errors_, file_, true);
}

void SourceListWriter::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(sourcesID_, count);
    out[count] = ref;
    const Vector<ObjectRef>& list = listOf(ref, errors_, count, "SOURCES");
    std::string line = "{\"frame\":" + std::to_string(count) +
                       ",\"time\":" + number(frameSeconds(count, advance_, samplingRate_), "%.6f") + ",\"sources\":[";
    for (size_t i = 0; i < list.size(); ++i) {
        const Source& s = sourceAt(list, i, errors_, count, "SOURCES");
        line += std::string(i ? "," : "") + "{\"id\":" + std::to_string(s.id) + ",\"azimuth\":" +
                number(azimuthDegrees(s), "%.4f") + ",\"power\":" + floatNumber(s.power) + "}";
    }
    line += "]}";
    putFrame(errors_, count, *out_, line + "\n");
}

void SourceListWriter::endOfStream(int) { finishTarget(errors_, *out_); }

// ---------------------------------------------------------------- SegmentWriter

SegmentWriter::SegmentWriter(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("SegmentWriter", nodeName) {
    decisionID_ = addInput("DECISION");
    outputID_ = addOutput("OUTPUT");
    const NodeParameters p(errors_, params);
    file_ = p.text("FILE");
    advance_ = p.frameShift();
    samplingRate_ = p.samplingRate();
    inOrder = true;
    out_ = openTarget(errors_, file_, true);
}

void SegmentWriter::initialize() {
    BufferedNode::initialize();
    stream_ = findSampleStream(this);
}

void SegmentWriter::closeSegment(int endFrame, int count) {
    double start, end;
    const bool kept = segmentSeconds(start_, endFrame, advance_, samplingRate_, stream_, start, end);
    start_ = -1;
    if (!kept) return;
    char line[128];
    std::snprintf(line, sizeof(line), "%.6f\t%.6f\tspeech\n", start, end);
    putFrame(errors_, count, *out_, line);
}

void SegmentWriter::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(decisionID_, count);
    out[count] = ref;
    bool speech = !listOf(ref, errors_, count, "DECISION").empty();
    if (speech && start_ < 0) start_ = count;
    if (!speech && start_ >= 0) closeSegment(count, count);
}

void SegmentWriter::endOfStream(int frames) {
    if (start_ >= 0) closeSegment(frames, -1);
    finishTarget(errors_, *out_);
}

// ---------------------------------------------------------------- MatrixWriter

namespace nodes {
std::string npyHeader(const std::string& descr, const std::vector<long long>& shape, size_t minLength) {
    std::string tuple;
    for (size_t i = 0; i < shape.size(); ++i) tuple += (i ? ", " : "") + std::to_string(shape[i]);
    if (shape.size() == 1) tuple += ",";
    std::string dict = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" + tuple + "), }";
    size_t total = 10 + dict.size() + 1;  // magic, version, length, dict, newline
    size_t padded = (std::max(total, minLength) + 63) / 64 * 64;
    dict.append(padded - total, ' ');
    dict += '\n';
    std::string h = "\x93NUMPY";
    h += char(1);
    h += char(0);
    size_t len = dict.size();
    h += char(len & 0xff);
    h += char((len >> 8) & 0xff);
    return h + dict;
}
}  // namespace nodes

MatrixWriter::MatrixWriter(const std::string& nodeName, const ParameterSet& params)
    : BufferedNode(nodeName, params), errors_("MatrixWriter", nodeName) {
    inputID_ = addInput("INPUT");
    outputID_ = addOutput("OUTPUT");
    file_ = NodeParameters(errors_, params).text("FILE");
    inOrder = true;
    out_ = openTarget(errors_, file_, false);
    if (!out_->file())
        errors_.refuse("FILE", "FILE " + file_ +
                                   " is not a regular file: a .npy file holds its frame count in its header, "
                                   "written at the end");
}

void MatrixWriter::writeHeader(long long frames, int count) {
    // Room for the largest frame count, so that the final header fits in place.
    std::string h = nodes::npyHeader(descr_.empty() ? "<f4" : descr_, {frames, rows_, cols_},
                                     nodes::npyHeader("<c8", {LLONG_MAX, INT_MAX, INT_MAX}).size());
    FILE* f = out_->file()->stream();
    if (std::fseek(f, 0, SEEK_SET) != 0) errors_.atFrame(count, "FILE", "cannot write " + file_);
    put(errors_, count, f, h);
    if (std::fseek(f, 0, SEEK_END) != 0) errors_.atFrame(count, "FILE", "cannot write " + file_);
}

void MatrixWriter::calculate(int, int count, Buffer& out) {
    ObjectRef ref = getInput(inputID_, count);
    out[count] = ref;
    const void* data = nullptr;
    size_t bytes = 0;
    std::string descr;
    int rows = 0, cols = 0;
    if (auto* m = dynamic_cast<const Matrix<float>*>(ref.get())) {
        descr = "<f4", rows = m->nrows(), cols = m->ncols(), data = m->data(),
        bytes = m->size() * sizeof(float);
    } else if (auto* c = dynamic_cast<const Matrix<std::complex<float>>*>(ref.get())) {
        descr = "<c8", rows = c->nrows(), cols = c->ncols(), data = c->data();
        bytes = c->size() * sizeof(std::complex<float>);
    } else {
        errors_.atFrame(
            count, "INPUT",
            "INPUT expects Matrix<float> or Matrix<complex<float>>, got " + describeType(ref.get()));
    }
    if (frames_ == 0) {
        descr_ = descr, rows_ = rows, cols_ = cols;
        writeHeader(0, count);
    } else if (descr != descr_ || rows != rows_ || cols != cols_) {
        errors_.atFrame(count, "INPUT",
                        "INPUT frame is " + describeType(ref.get()) + " " + std::to_string(rows) + " x " +
                            std::to_string(cols) + ", the stream started with " +
                            (descr_ == "<f4" ? "Matrix<float> " : "Matrix<complex<float>> ") +
                            std::to_string(rows_) + " x " + std::to_string(cols_));
    }
    if (std::fwrite(data, 1, bytes, out_->file()->stream()) != bytes)
        errors_.atFrame(count, "FILE", "cannot write " + file_ + ": the disk may be full");
    ++frames_;
}

void MatrixWriter::endOfStream(int) {
    writeHeader(frames_, -1);
    finishTarget(errors_, *out_);
}

}  // namespace FD
