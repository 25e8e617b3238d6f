// The argument layer's conversion kinds that no entry function exercises yet
// (3-D arrays, string lists, float lists, optional variants), run in an
// embedded interpreter against real NumPy objects.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bindings/args.hpp"

using namespace quintara::bindings;

namespace {

struct Probe {
  Array3View y3;
  std::vector<std::string> members;
  std::vector<double> lifts;
  std::vector<std::int64_t> cohorts;
  std::optional<std::vector<double>> weights;
  std::optional<std::uint64_t> lookback;
  std::string mode;
  double tol = 0.0;
};

const Params kProbe{"probe",
                    arg("y3", &Probe::y3),
                    arg("members", &Probe::members),
                    arg("lifts", &Probe::lifts),
                    arg("cohorts", &Probe::cohorts),
                    opt_arg("weights", &Probe::weights),
                    opt_arg("lookback", &Probe::lookback),
                    arg("mode", &Probe::mode, "\"mspe\""),
                    arg("tol", &Probe::tol, "1e-5")};

PyObject* eval(const char* expr) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* np = PyImport_ImportModule("numpy");
  PyDict_SetItemString(globals, "np", np);
  Py_DECREF(np);
  PyObject* v = PyRun_String(expr, Py_eval_input, globals, globals);
  Py_DECREF(globals);
  return v;
}

// Parses the call `probe(*args, **kwargs)` written as Python source for the
// tuple and the dict; returns the TypeError text, or "" on success.
std::string parse_error(const char* args_src, const char* kwargs_src = "{}") {
  PyObject* args = eval(args_src);
  PyObject* kwargs = eval(kwargs_src);
  std::string text;
  try {
    kProbe.parse(args, kwargs);
  } catch (const PyErrSet&) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyObject* s = PyObject_Str(v);
    text = PyUnicode_AsUTF8(s);
    Py_DECREF(s);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
  }
  Py_DECREF(args);
  Py_DECREF(kwargs);
  return text;
}

}  // namespace

TEST(Args, ThreeDimensionalArraysAndLists) {
  PyObject* args = eval(
      "(np.arange(24.0).reshape(2, 3, 4)[:, ::-1, ::2], ('sc', 'asc'), [1, 2.5, np.float32(0.5)],"
      " np.array([-1, 3]))");
  PyObject* kwargs = eval("{'lookback': None}");
  const Probe a = kProbe.parse(args, kwargs);
  const ArrayView& y3 = a.y3;
  EXPECT_EQ(y3.ndim(), 3);
  EXPECT_EQ(y3.dim(1), 3u);
  EXPECT_EQ(y3.dim(2), 2u);
  // Element (1, 0, 1) of the strided view is arange[1, 2, 2] = 12 + 8 + 2.
  EXPECT_EQ(y3.at(1, 0, 1), 22.0);
  EXPECT_EQ(mat_from_numpy_slice(y3, 1)(0, 1), 22.0);
  EXPECT_EQ(a.members, (std::vector<std::string>{"sc", "asc"}));
  EXPECT_EQ(a.lifts, (std::vector<double>{1.0, 2.5, 0.5}));
  EXPECT_EQ(a.cohorts, (std::vector<std::int64_t>{-1, 3}));
  EXPECT_FALSE(a.weights.has_value());
  EXPECT_FALSE(a.lookback.has_value());
  EXPECT_EQ(a.mode, "mspe");
  EXPECT_EQ(a.tol, 1e-5);
  EXPECT_EQ(kProbe.signature().docstring("Body."),
            "probe(y3, members, lifts, cohorts, weights=None, lookback=None, mode=\"mspe\", "
            "tol=1e-5)\n--\n\nBody.");
  Py_DECREF(args);
  Py_DECREF(kwargs);
}

TEST(Args, ConversionErrorsNameTheArgument) {
  EXPECT_EQ(parse_error("(np.zeros((2, 3)), [], [], [])"),
            "argument 'y3': expected a 3-D numpy.ndarray of float64, got a 2-D array");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), 'sc', [], [])"),
            "argument 'members': 'str' object cannot be converted to a sequence of str");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), ['sc', 3], [], [])"),
            "argument 'members': 'int' object cannot be converted to 'str'");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], ['x'], [])"),
            "argument 'lifts': must be real number, not str");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [1.5])"),
            "argument 'cohorts': 'float' object cannot be interpreted as an integer");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [])", "{'mode': None}"),
            "argument 'mode': 'NoneType' object cannot be converted to 'str'");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [], [0.5], 3)"), "");
}
