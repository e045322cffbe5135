// The compiled half of the zelkbp Python package: loads the host's node modules,
// runs network files on numpy arrays (Session) and lists the node catalogue.
// The package's Python half (zelkbp/__init__.py) wraps it for users.
#include "flow/Module.h"

#include <dlfcn.h>
#include <fftw3.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdlib>
#include <mutex>

#include "ArrayNodes.h"
#include "Session.h"
#include "flow/Catalogue.h"

namespace py = pybind11;
using namespace zelkbp;

namespace {

const char* kModuleDirVariable = "ZELKBP_MODULE_DIR";

// The node modules live beside the host library, or in $ZELKBP_MODULE_DIR.
std::string moduleDirectory() {
    const char* env = std::getenv(kModuleDirVariable);
    if (env && *env) return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FD::loadModule), &info) && info.dli_fname) {
        std::string p = info.dli_fname;
        size_t slash = p.rfind('/');
        return slash == std::string::npos ? "." : p.substr(0, slash);
    }
    return ".";
}

void loadModules() {
    const std::string dir = moduleDirectory();
    try {
        FD::loadModule(dir + "/libzelkbp.so");
        FD::loadModule(dir + "/libflownodes.so");
    } catch (FD::BaseException* e) {
        std::string m = e->message();
        delete e;
        throw py::import_error("zelkbp: " + m + " (set " + kModuleDirVariable +
                               " to the folder of the modules)");
    }
    registerArrayNodes();
}

// One session per Network; a lock keeps two threads from driving it at once.
struct PySession {
    std::unique_ptr<Session> session;
    std::mutex lock;
};

// The session's lock, waited for without the GIL (its holder may need the GIL back).
std::unique_lock<std::mutex> hold(PySession& s) {
    std::unique_lock<std::mutex> l(s.lock, std::defer_lock);
    py::gil_scoped_release free;
    l.lock();
    return l;
}

py::list ports(const std::vector<FD::PortInfo>& list) {
    py::list out;
    for (const FD::PortInfo& p : list)
        out.append(py::dict(py::arg("name") = p.name, py::arg("help") = p.help, py::arg("kind") = p.kind));
    return out;
}

py::list listNodes() {
    py::list nodes;
    for (const std::string& type : FD::Node::factoryNames()) {
        if (isArrayNodeType(type)) continue;
        py::dict d;
        d["type"] = type;
        py::list inputs, outputs, params;
        const FD::NodeInfo* info = FD::nodeInfo(type);
        d["help"] = info ? info->help : std::string();
        if (info) {
            inputs = ports(info->inputs);
            outputs = ports(info->outputs);
            for (const FD::ParamInfo& p : info->params)
                params.append(py::dict(py::arg("name") = p.name, py::arg("type") = p.type,
                                       py::arg("help") = p.help, py::arg("optional") = p.optional));
        }
        d["inputs"] = inputs;
        d["outputs"] = outputs;
        d["parameters"] = params;
        d["window"] = info ? info->window : false;
        nodes.append(d);
    }
    return nodes;
}

template <class T>
py::array_t<T> arrayOf(std::vector<T>&& data, std::vector<py::ssize_t> shape) {
    py::array_t<T> a(shape);
    if (!data.empty()) std::copy(data.begin(), data.end(), a.mutable_data());
    return a;
}

// What each collector gathered since the last call: name -> (kind, data).
py::dict takeResults(Session& s) {
    py::dict out;
    for (Collector* c : s.collectors()) {
        py::object value;
        std::string kind;
        if (auto* a = dynamic_cast<AudioCollector*>(c)) {
            long long n = 0;
            std::vector<float> d = a->take(n);
            kind = "audio";
            value = arrayOf(std::move(d), {a->channels(), py::ssize_t(n)});
        } else if (auto* l = dynamic_cast<SourceListCollector*>(c)) {
            std::vector<SourceRow> rows = l->take();
            std::vector<int> frame, id;
            std::vector<double> time, azimuth;
            std::vector<float> power;
            for (const SourceRow& r : rows) {
                frame.push_back(r.frame), time.push_back(r.time), id.push_back(r.id);
                azimuth.push_back(r.azimuth), power.push_back(r.power);
            }
            const py::ssize_t n = py::ssize_t(rows.size());
            py::dict cols;
            cols["frame"] = arrayOf(std::move(frame), {n});
            cols["time"] = arrayOf(std::move(time), {n});
            cols["id"] = arrayOf(std::move(id), {n});
            cols["azimuth"] = arrayOf(std::move(azimuth), {n});
            cols["power"] = arrayOf(std::move(power), {n});
            kind = "sources";
            value = cols;
        } else if (auto* g = dynamic_cast<SegmentCollector*>(c)) {
            std::vector<double> d = g->take();
            py::ssize_t n = py::ssize_t(d.size() / 2);
            kind = "segments";
            value = arrayOf(std::move(d), {n, 2});
        } else if (auto* m = dynamic_cast<MatrixCollector*>(c)) {
            long long frames = 0;
            std::vector<py::ssize_t> shape;
            kind = "matrix";
            if (m->complex()) {
                std::vector<std::complex<float>> d = m->takeComplex(frames);
                value = arrayOf(std::move(d), {py::ssize_t(frames), m->rows(), m->cols()});
            } else {
                std::vector<float> d = m->takeReal(frames);
                value = arrayOf(std::move(d),
                                {py::ssize_t(frames), std::max(m->rows(), 0), std::max(m->cols(), 0)});
            }
        }
        out[py::str(c->key())] = py::make_tuple(kind, value);
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(_zelkbp, m) {
    m.doc() = "Compiled core of zelkbp: network sessions on arrays and the node catalogue.";
    // Nodes make FFTW plans while frames run, and frames run without the GIL.
    fftwf_make_planner_thread_safe();
    loadModules();

    py::object loadError = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc("zelkbp.LoadError",
                                  "The network file or its arguments are wrong. str() is the host's "
                                  "message; .problems lists each problem on its own line.",
                                  PyExc_ValueError, nullptr));
    py::object runError = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "zelkbp.RunError", "A frame could not be computed; str() is the host's one-line message.",
        PyExc_RuntimeError, nullptr));
    m.attr("LoadError") = loadError;
    m.attr("RunError") = runError;
    py::register_exception_translator([](std::exception_ptr p) {
        py::module_ self = py::module_::import("zelkbp._zelkbp");
        try {
            if (p) std::rethrow_exception(p);
        } catch (const LoadFailure& e) {
            py::object type = self.attr("LoadError");
            py::object exc = type(e.what());
            exc.attr("problems") = py::cast(e.problems());
            PyErr_SetObject(type.ptr(), exc.ptr());
        } catch (const RunFailure& e) {
            PyErr_SetString(self.attr("RunError").ptr(), e.what());
        }
    });

    py::class_<PySession>(m, "Session")
        .def(py::init([](const std::string& path, const std::map<std::string, std::string>& args) {
                 auto s = std::make_unique<PySession>();
                 s->session = std::make_unique<Session>(path, args);
                 return s;
             }),
             py::arg("path"), py::arg("args"))
        .def_property_readonly("array_input", [](PySession& s) { return s.session->arrayInput(); })
        .def_property_readonly("collected", [](PySession& s) { return s.session->collected(); })
        .def_property_readonly("sampling_rate", [](PySession& s) { return s.session->samplingRate(); })
        .def_property_readonly("channels", [](PySession& s) { return s.session->channels(); })
        .def_property_readonly("lookahead", [](PySession& s) { return s.session->lookAhead(); })
        .def_property_readonly("frames", [](PySession& s) { return s.session->framesDone(); })
        .def_property_readonly("closed", [](PySession& s) { return s.session->closed(); })
        .def_property_readonly("started", [](PySession& s) { return s.session->started(); })
        .def_property_readonly("audio_seconds", [](PySession& s) { return s.session->audioSeconds(); })
        .def(
            "push",
            [](PySession& s, py::array_t<float, py::array::c_style> x) {
                auto locked = hold(s);
                if (x.ndim() != 2) throw std::invalid_argument("expected a 2-D array (channels, samples)");
                s.session->append(x.data(), int(x.shape(0)), x.shape(1), x.shape(1));
                {
                    py::gil_scoped_release free;
                    s.session->process();
                }
                return takeResults(*s.session);
            },
            py::arg("x"))
        .def("close",
             [](PySession& s) {
                 auto locked = hold(s);
                 {
                     py::gil_scoped_release free;
                     s.session->finish();
                 }
                 return takeResults(*s.session);
             })
        .def("run_file",
             [](PySession& s) {
                 auto locked = hold(s);
                 {
                     py::gil_scoped_release free;
                     s.session->runFile();
                 }
                 return takeResults(*s.session);
             })
        .def("reset", [](PySession& s) {
            auto locked = hold(s);
            s.session->reset();
        });

    m.def("list_nodes", &listNodes);
    m.def("network_ports", [](const std::string& path) {
        NetworkPorts p = networkPorts(path);
        py::list args;
        for (const FD::NetworkArgument& a : p.arguments)
            args.append(py::dict(
                py::arg("name") = a.name, py::arg("type") = a.type,
                py::arg("default") = a.hasDefault ? py::object(py::str(a.defaultValue)) : py::none()));
        return py::dict(py::arg("arguments") = args, py::arg("inputs") = p.inputs,
                        py::arg("outputs") = p.outputs);
    });
    m.def("module_versions", [] {
        py::list out;
        for (const FD::ModuleVersion& v : FD::Object::moduleVersions())
            out.append(py::make_tuple(v.name, v.version, v.revision));
        return out;
    });
}
