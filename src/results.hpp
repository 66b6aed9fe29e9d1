#pragma once
// Python results built bottom-up from the core's values: exact tuples, lists
// allocated at their final length, floats, bools and str from UTF-8.
#include "pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "textgrid/model/flat_document.hpp"

namespace tavrel {

// (tmin, tmax, [(name, is_interval, [(tmin, tmax, label)])]).
PyRef document_to_python(textgrid::FlatDocument&& document);
// (tmins, tmaxs, labels, tier_names, is_intervals): three arrays, two lists.
PyRef vectors_to_python(textgrid::FlatDocument&& document);
class SharedTexts;

// A list of `count` documents built one document at a time, as they arrive;
// equal texts share one str across the whole list.
class DocumentListBuilder {
 public:
  explicit DocumentListBuilder(std::size_t count);
  ~DocumentListBuilder();
  DocumentListBuilder(const DocumentListBuilder&) = delete;
  DocumentListBuilder& operator=(const DocumentListBuilder&) = delete;

  // False with a Python exception set when building failed (the list, too).
  bool add(textgrid::FlatDocument&& document);
  // The finished list; null unless every document was added.
  PyRef finish();

 private:
  PyRef list_;
  std::size_t added_ = 0;
  std::unique_ptr<SharedTexts> texts_;
};

// The joined columns of many files' vectors, appended file by file:
// (tmins, tmaxs, labels, tier_names, is_intervals, file_ids). Equal texts,
// labels or tier names, share one str across the whole result.
class VectorColumnsBuilder {
 public:
  VectorColumnsBuilder();
  ~VectorColumnsBuilder();
  VectorColumnsBuilder(const VectorColumnsBuilder&) = delete;
  VectorColumnsBuilder& operator=(const VectorColumnsBuilder&) = delete;

  // False with a Python exception set when building failed.
  bool add(textgrid::FlatDocument&& document, std::uint32_t file_id);
  PyRef finish();

 private:
  textgrid::Buffer<double> tmins_;
  textgrid::Buffer<double> tmaxs_;
  textgrid::Buffer<bool> is_intervals_;
  textgrid::Buffer<std::uint32_t> file_ids_;
  PyRef labels_;  // texts go straight to the lists
  PyRef tier_names_;
  std::unique_ptr<SharedTexts> texts_;
};

}  // namespace tavrel
