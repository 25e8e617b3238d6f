#include "bindings/block.hpp"

#include "core/linalg/matrix.hpp"

namespace quintara::bindings {
namespace {

struct BlockObject {
  PyObject_HEAD void* data;
  std::size_t bytes;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  auto* b = reinterpret_cast<BlockObject*>(self);
  return PyBuffer_FillInfo(view, self, b->data, static_cast<Py_ssize_t>(b->bytes), 0, flags);
}

void dealloc(PyObject* self) noexcept {
  auto* b = reinterpret_cast<BlockObject*>(self);
  if (b->data != nullptr) linalg::free_large(b->data, b->bytes);
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for _Block");
  return nullptr;
}

// Made on first use and kept for the life of the process; the dotted name
// gives the class its module.
PyTypeObject* block_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Storage of an array returned by a compiled pass.")},
        {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"quintara._quintara._Block", static_cast<int>(sizeof(BlockObject)),
                               0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }();
  if (type == nullptr) throw PyErrSet{};
  return type;
}

}  // namespace

Ref new_block(std::size_t bytes, void** data) {
  if (bytes < linalg::kLargeBytes) {
    Ref array = Ref::check(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
    *data = PyByteArray_AsString(array.get());
    return array;
  }
  PyTypeObject* type = block_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref obj = Ref::check(alloc(type, 0));
  auto* b = reinterpret_cast<BlockObject*>(obj.get());
  b->data = nullptr;  // a failed allocation below leaves nothing to free
  b->bytes = bytes;
  b->data = linalg::allocate_large(bytes);  // std::bad_alloc: the entry's MemoryError
  *data = b->data;
  return obj;
}

}  // namespace quintara::bindings
