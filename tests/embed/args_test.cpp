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
// tuple and the dict.
Probe parse(const char* args_src, const char* kwargs_src = "{}") {
  const Ref args = Ref::check(eval(args_src)), kwargs = Ref::check(eval(kwargs_src));
  return kProbe.parse(args.get(), kwargs.get());
}

// The TypeError text of parse(), or "" on success.
std::string parse_error(const char* args_src, const char* kwargs_src = "{}") {
  std::string text;
  try {
    parse(args_src, kwargs_src);
  } catch (const PyErrSet&) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    const Ref owned[] = {Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
    text = PyUnicode_AsUTF8(Ref::check(PyObject_Str(v)).get());
  }
  return text;
}

}  // namespace

TEST(Args, ThreeDimensionalArraysAndLists) {
  const Probe a = parse(
      "(np.arange(24.0).reshape(2, 3, 4)[:, ::-1, ::2], ('sc', 'asc'), [1, 2.5, np.float32(0.5)],"
      " np.array([-1, 3]))",
      "{'lookback': None}");
  const ArrayView& y3 = a.y3;
  EXPECT_TRUE(y3.ndim() == 3 && y3.dim(1) == 3 && y3.dim(2) == 2);
  // Element (1, 0, 1) of the strided view is arange[1, 2, 2] = 12 + 8 + 2.
  EXPECT_EQ(y3.at(1, 0, 1), 22.0);
  EXPECT_EQ(mat_from_numpy_slice(y3, 1)(0, 1), 22.0);
  EXPECT_EQ(a.members, (std::vector<std::string>{"sc", "asc"}));
  EXPECT_EQ(a.lifts, (std::vector<double>{1.0, 2.5, 0.5}));
  EXPECT_EQ(a.cohorts, (std::vector<std::int64_t>{-1, 3}));
  EXPECT_FALSE(a.weights || a.lookback);
  EXPECT_TRUE(a.mode == "mspe" && a.tol == 1e-5);
  EXPECT_EQ(kProbe.signature().docstring("Body."),
            "probe(y3, members, lifts, cohorts, weights=None, lookback=None, mode=\"mspe\", "
            "tol=1e-5)\n--\n\nBody.");
}

TEST(Args, ConversionErrorsNameTheArgument) {
  EXPECT_EQ(parse_error("(np.zeros((2, 3)), [], [], [])"),
            "argument 'y3': expected a 3-D numpy.ndarray of float64, got a 2-D array");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), 'sc', [], [])"),
            "argument 'members': 'str' object cannot be converted to a sequence of str");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), ['sc', 3], [], [])"),
            "argument 'members': 'int' object cannot be converted to 'str'");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [1.5])"),
            "argument 'cohorts': 'float' object cannot be interpreted as an integer");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [])", "{'mode': None}"),
            "argument 'mode': 'NoneType' object cannot be converted to 'str'");
  EXPECT_EQ(parse_error("(np.zeros((1, 1, 1)), [], [], [], [0.5], 3)"), "");
}
