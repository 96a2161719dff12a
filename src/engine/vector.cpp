#include "engine/vector.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "engine/errors.h"

namespace engine {

// ---- Validity -------------------------------------------------------------------------------------

void Validity::ensureMaterialized(std::size_t n) {
  if (!words_.empty()) return;
  words_.assign(wordsFor(n), ~std::uint64_t{0});
  if (n % 64 && !words_.empty()) words_.back() = (std::uint64_t{1} << (n % 64)) - 1;
  if (words_.empty()) words_.push_back(0);  // zero rows: keep a word so the bitmap counts as materialised
}

void Validity::setAllNull(std::size_t n) { words_.assign(std::max<std::size_t>(wordsFor(n), 1), 0); }

void Validity::compact(std::size_t n) {
  if (words_.empty()) return;
  if (countNulls(n) == 0) words_.clear();
}

std::size_t Validity::countNulls(std::size_t n) const {
  if (words_.empty()) return 0;
  std::size_t valid = 0, full = n / 64;
  for (std::size_t w = 0; w < full; ++w) valid += static_cast<std::size_t>(std::popcount(words_[w]));
  if (n % 64) valid += static_cast<std::size_t>(std::popcount(words_[full] & ((std::uint64_t{1} << (n % 64)) - 1)));
  return n - valid;
}

// ---- Vector ---------------------------------------------------------------------------------------

Vector::Vector(DataType type, std::size_t n) : type_(std::move(type)), size_(n) {
  switch (type_.id()) {
    case TypeId::Null:
      validity_.setAllNull(n);
      break;
    case TypeId::String:
      offsets_.assign(n + 1, 0);
      break;
    case TypeId::Array:
      offsets_.assign(n + 1, 0);
      child_ = std::make_shared<Vector>(type_.elementType(), 0);
      break;
    default:
      data_.assign(n * type_.fixedWidth(), 0);
      break;
  }
}

MutableVectorPtr Vector::uninitialized(DataType type, std::size_t n) {
  if (type.isString() || type.isNull() || type.id() == TypeId::Array) return make(std::move(type), n);
  auto v = make(std::move(type), 0);
  v->size_ = n;
  v->data_.resize(n * v->type_.fixedWidth());  // no zero-fill (UninitializedAllocator)
  return v;
}

namespace {

[[noreturn]] void cannotAccept(const DataType& type, const Value& v) {
  throw AnalysisException(fmt::format("[CANNOT_ACCEPT_VALUE] A column of type {} cannot hold the value {} of type {}.",
                                      type.simpleString(), v.toString(), v.dataType().simpleString()));
}

int128_t pow10i(int n) {
  int128_t r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

// Stores v (converted to the vector's type) at row i. Null values set the validity bit.
void setValue(Vector& vec, std::size_t i, const Value& v) {
  const DataType& t = vec.type();
  if (v.isNull()) {
    vec.setNull(i);
    return;
  }
  auto integral = [&](auto* out, std::int64_t lo, std::int64_t hi) {
    if (!(v.is<std::int8_t>() || v.is<std::int16_t>() || v.is<std::int32_t>() || v.is<std::int64_t>()))
      cannotAccept(t, v);
    std::int64_t x = v.toInt64();
    if (x < lo || x > hi) cannotAccept(t, v);
    out[i] = static_cast<std::remove_pointer_t<decltype(out)>>(x);
  };
  switch (t.id()) {
    case TypeId::Null:
      cannotAccept(t, v);
    case TypeId::Boolean:
      if (!v.is<bool>()) cannotAccept(t, v);
      vec.data<std::uint8_t>()[i] = v.get<bool>() ? 1 : 0;
      return;
    case TypeId::Byte: integral(vec.data<std::int8_t>(), INT8_MIN, INT8_MAX); return;
    case TypeId::Short: integral(vec.data<std::int16_t>(), INT16_MIN, INT16_MAX); return;
    case TypeId::Integer: integral(vec.data<std::int32_t>(), INT32_MIN, INT32_MAX); return;
    case TypeId::Long: integral(vec.data<std::int64_t>(), INT64_MIN, INT64_MAX); return;
    case TypeId::Float:
      if (!v.isNumeric()) cannotAccept(t, v);
      vec.data<float>()[i] = static_cast<float>(v.toDouble());
      return;
    case TypeId::Double:
      if (!v.isNumeric()) cannotAccept(t, v);
      vec.data<double>()[i] = v.toDouble();
      return;
    case TypeId::Decimal: {
      int128_t unscaled;
      int scale;
      if (v.is<Decimal>()) {
        unscaled = v.get<Decimal>().unscaled;
        scale = v.get<Decimal>().scale;
      } else if (v.is<std::int8_t>() || v.is<std::int16_t>() || v.is<std::int32_t>() || v.is<std::int64_t>()) {
        unscaled = v.toInt64();
        scale = 0;
      } else {
        cannotAccept(t, v);
      }
      if (scale > t.scale()) {
        // Dropping digits would lose data silently: only exact rescaling is accepted.
        int128_t f = pow10i(scale - t.scale());
        if (unscaled % f != 0) cannotAccept(t, v);
        unscaled /= f;
      } else if (scale < t.scale()) {
        unscaled *= pow10i(t.scale() - scale);
      }
      int128_t limit = pow10i(t.precision());
      if (unscaled >= limit || unscaled <= -limit) cannotAccept(t, v);
      vec.data<int128_t>()[i] = unscaled;
      return;
    }
    case TypeId::Date:
      if (!v.is<Date>()) cannotAccept(t, v);
      vec.data<std::int32_t>()[i] = v.get<Date>().days;
      return;
    case TypeId::Timestamp:
      if (v.is<Timestamp>()) {
        vec.data<std::int64_t>()[i] = v.get<Timestamp>().micros;
      } else if (v.is<Date>()) {
        vec.data<std::int64_t>()[i] = static_cast<std::int64_t>(v.get<Date>().days) * 86400000000LL;
      } else {
        cannotAccept(t, v);
      }
      return;
    case TypeId::YearMonthInterval:
      if (!v.is<YearMonthIntervalValue>()) cannotAccept(t, v);
      vec.data<std::int32_t>()[i] = v.get<YearMonthIntervalValue>().months;
      return;
    case TypeId::DayTimeInterval:
      if (!v.is<DayTimeIntervalValue>()) cannotAccept(t, v);
      vec.data<std::int64_t>()[i] = v.get<DayTimeIntervalValue>().micros;
      return;
    case TypeId::String:
    case TypeId::Array:
      break;  // handled by fromValues
  }
}

}  // namespace

MutableVectorPtr Vector::fromValues(const DataType& type, const std::vector<Value>& values) {
  const std::size_t n = values.size();
  if (type.isString()) {
    StringVectorBuilder b(n);
    for (const auto& v : values) {
      if (v.isNull()) {
        b.appendNull();
      } else if (v.is<std::string>()) {
        b.append(v.str());
      } else {
        cannotAccept(type, v);
      }
    }
    return b.finish();
  }
  if (type.isArray()) {
    auto out = make(type, n);
    std::vector<Value> elements;
    auto& off = out->offsetStorage();
    for (std::size_t i = 0; i < n; ++i) {
      off[i] = static_cast<std::int64_t>(elements.size());
      const Value& v = values[i];
      if (v.isNull()) {
        out->setNull(i);
        continue;
      }
      if (!v.is<std::shared_ptr<const ArrayValue>>()) cannotAccept(type, v);
      for (const auto& e : v.arr().elements) elements.push_back(e);
    }
    off[n] = static_cast<std::int64_t>(elements.size());
    out->setChild(fromValues(type.elementType(), elements));
    return out;
  }
  auto out = make(type, n);
  for (std::size_t i = 0; i < n; ++i) setValue(*out, i, values[i]);
  return out;
}

MutableVectorPtr Vector::constant(const Value& value, const DataType& type, std::size_t n) {
  if (value.isNull()) {
    auto out = make(type, n);
    out->validity_.setAllNull(n);
    return out;
  }
  if (type.isString()) {
    if (!value.is<std::string>()) cannotAccept(type, value);
    const std::string& s = value.str();
    auto out = make(type, n);
    out->chars_.resize(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) {
      if (!s.empty()) std::memcpy(out->chars_.data() + i * s.size(), s.data(), s.size());
      out->offsets_[i + 1] = static_cast<std::int64_t>((i + 1) * s.size());
    }
    return out;
  }
  if (type.isArray()) return fromValues(type, std::vector<Value>(n, value));
  auto one = make(type, 1);
  setValue(*one, 0, value);
  auto out = make(type, n);
  const std::size_t w = type.fixedWidth();
  for (std::size_t i = 0; i < n; ++i) std::memcpy(out->data_.data() + i * w, one->data_.data(), w);
  return out;
}

Value Vector::get(std::size_t i) const {
  if (i >= size_) throw std::out_of_range(fmt::format("row {} of a vector of {} rows", i, size_));
  if (isNull(i)) return Value();
  switch (type_.id()) {
    case TypeId::Null: return Value();
    case TypeId::Boolean: return Value(data<std::uint8_t>()[i] != 0);
    case TypeId::Byte: return Value(data<std::int8_t>()[i]);
    case TypeId::Short: return Value(data<std::int16_t>()[i]);
    case TypeId::Integer: return Value(data<std::int32_t>()[i]);
    case TypeId::Long: return Value(data<std::int64_t>()[i]);
    case TypeId::Float: return Value(data<float>()[i]);
    case TypeId::Double: return Value(data<double>()[i]);
    case TypeId::Decimal:
      return Value(Decimal{data<int128_t>()[i], static_cast<std::uint8_t>(type_.precision()),
                           static_cast<std::uint8_t>(type_.scale())});
    case TypeId::String: return Value(std::string(str(i)));
    case TypeId::Date: return Value(Date{data<std::int32_t>()[i]});
    case TypeId::Timestamp: return Value(Timestamp{data<std::int64_t>()[i]});
    case TypeId::YearMonthInterval:
      return Value(YearMonthIntervalValue{data<std::int32_t>()[i], static_cast<std::uint8_t>(type_.startField()),
                                          static_cast<std::uint8_t>(type_.endField())});
    case TypeId::DayTimeInterval:
      return Value(DayTimeIntervalValue{data<std::int64_t>()[i], static_cast<std::uint8_t>(type_.startField()),
                                        static_cast<std::uint8_t>(type_.endField())});
    case TypeId::Array: {
      std::vector<Value> elems;
      for (std::int64_t j = offsets_[i]; j < offsets_[i + 1]; ++j) elems.push_back(child_->get(static_cast<std::size_t>(j)));
      return Value::array(type_.elementType(), std::move(elems));
    }
  }
  return Value();
}

std::size_t Vector::memoryBytes() const {
  std::size_t b = data_.size() + offsets_.size() * sizeof(std::int64_t) + chars_.size() +
                  (validity_.allValid() ? 0 : Validity::wordsFor(size_) * 8);
  if (child_) b += child_->memoryBytes();
  return b;
}

// ---- StringVectorBuilder --------------------------------------------------------------------------

StringVectorBuilder::StringVectorBuilder(std::size_t expectedRows, std::size_t expectedBytes) {
  offsets_.reserve(expectedRows + 1);
  offsets_.push_back(0);
  chars_.reserve(expectedBytes);
}

void StringVectorBuilder::append(std::string_view s) {
  chars_.insert(chars_.end(), s.begin(), s.end());
  offsets_.push_back(static_cast<std::int64_t>(chars_.size()));
}

void StringVectorBuilder::appendNull() {
  nulls_.push_back(offsets_.size() - 1);
  offsets_.push_back(static_cast<std::int64_t>(chars_.size()));
}

MutableVectorPtr StringVectorBuilder::finish() {
  const std::size_t n = offsets_.size() - 1;
  // Swap the buffers into a vector of the right length instead of copying them.
  auto v = std::make_shared<Vector>(StringType(), n);
  v->offsetStorage().swap(offsets_);
  v->chars().swap(chars_);
  for (std::size_t i : nulls_) v->setNull(i);
  offsets_.assign(1, 0);
  chars_.clear();
  nulls_.clear();
  return v;
}

// ---- Row selection kernels ------------------------------------------------------------------------

namespace {

template <class T>
void takeFixed(const Vector& v, Vector& out, const std::int64_t* idx, std::size_t n) {
  const T* src = v.data<T>();
  T* dst = out.data<T>();
  for (std::size_t i = 0; i < n; ++i) dst[i] = idx[i] >= 0 ? src[idx[i]] : T{};
}

void takeValidity(const Vector& v, Vector& out, const std::int64_t* idx, std::size_t n) {
  bool anyNeg = false;
  for (std::size_t i = 0; i < n && !anyNeg; ++i) anyNeg = idx[i] < 0;
  if (v.validity().allValid() && !anyNeg && !v.type().isNull()) return;
  out.validity().ensureMaterialized(n);
  for (std::size_t i = 0; i < n; ++i)
    if (idx[i] < 0 || v.isNull(static_cast<std::size_t>(idx[i]))) out.validity().setNull(i);
  out.validity().compact(n);
}

}  // namespace

MutableVectorPtr take(const Vector& v, const std::int64_t* idx, std::size_t n) {
  const DataType& t = v.type();
  if (t.isString()) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i)
      if (idx[i] >= 0) bytes += v.str(static_cast<std::size_t>(idx[i])).size();
    auto out = Vector::make(t, n);
    auto& chars = out->chars();
    chars.resize(bytes);
    std::int64_t* off = out->offsets();
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (idx[i] >= 0) {
        std::string_view s = v.str(static_cast<std::size_t>(idx[i]));
        if (!s.empty()) std::memcpy(chars.data() + pos, s.data(), s.size());
        pos += s.size();
      }
      off[i + 1] = static_cast<std::int64_t>(pos);
    }
    takeValidity(v, *out, idx, n);
    return out;
  }
  if (t.isArray()) {
    std::vector<std::int64_t> childIdx;
    auto out = Vector::make(t, n);
    std::int64_t* off = out->offsets();
    for (std::size_t i = 0; i < n; ++i) {
      off[i] = static_cast<std::int64_t>(childIdx.size());
      if (idx[i] >= 0)
        for (std::int64_t j = v.offsets()[idx[i]]; j < v.offsets()[idx[i] + 1]; ++j) childIdx.push_back(j);
    }
    off[n] = static_cast<std::int64_t>(childIdx.size());
    out->setChild(take(*v.child(), childIdx));
    takeValidity(v, *out, idx, n);
    return out;
  }
  auto out = Vector::make(t, n);
  switch (t.fixedWidth()) {
    case 0: break;
    case 1: takeFixed<std::uint8_t>(v, *out, idx, n); break;
    case 2: takeFixed<std::uint16_t>(v, *out, idx, n); break;
    case 4: takeFixed<std::uint32_t>(v, *out, idx, n); break;
    case 8: takeFixed<std::uint64_t>(v, *out, idx, n); break;
    case 16: takeFixed<int128_t>(v, *out, idx, n); break;
  }
  takeValidity(v, *out, idx, n);
  return out;
}

MutableVectorPtr filterBySelection(const Vector& v, const std::uint8_t* sel, std::size_t selectedCount) {
  std::vector<std::int64_t> idx;
  idx.reserve(selectedCount);
  for (std::size_t i = 0; i < v.size(); ++i)
    if (sel[i]) idx.push_back(static_cast<std::int64_t>(i));
  return take(v, idx);
}

MutableVectorPtr slice(const Vector& v, std::size_t offset, std::size_t length) {
  if (offset + length > v.size())
    throw std::out_of_range(fmt::format("slice [{}, {}) of a vector of {} rows", offset, offset + length, v.size()));
  if (const std::size_t w = v.type().fixedWidth()) {
    // Numbers, booleans, dates, timestamps, decimals: one copy of the range, then its nulls.
    auto out = Vector::uninitialized(v.type(), length);
    if (length) std::memcpy(out->rawData().data(), v.data<unsigned char>() + offset * w, length * w);
    if (!v.validity().allValid()) {
      Validity& validity = out->validity();
      validity.ensureMaterialized(length);
      for (std::size_t i = 0; i < length; ++i)
        if (v.isNull(offset + i)) validity.setNull(i);
      validity.compact(length);
    }
    return out;
  }
  std::vector<std::int64_t> idx(length);
  for (std::size_t i = 0; i < length; ++i) idx[i] = static_cast<std::int64_t>(offset + i);
  return take(v, idx);
}

MutableVectorPtr concat(const std::vector<const Vector*>& parts, const DataType& type) {
  std::size_t n = 0;
  for (const Vector* p : parts) n += p->size();
  if (type.isString() || type.isArray()) {
    auto out = Vector::make(type, n);
    std::int64_t* off = out->offsets();
    std::size_t row = 0;
    std::vector<const Vector*> children;
    std::int64_t base = 0;
    for (const Vector* p : parts) {
      for (std::size_t i = 0; i < p->size(); ++i) off[row + i] = base + p->offsets()[i];
      if (type.isString()) {
        out->chars().insert(out->chars().end(), p->chars().begin() + p->offsets()[0],
                            p->chars().begin() + p->offsets()[p->size()]);
        base += p->offsets()[p->size()] - p->offsets()[0];
        for (std::size_t i = 0; i < p->size(); ++i) off[row + i] -= p->offsets()[0];
      } else {
        children.push_back(p->child().get());
        base += static_cast<std::int64_t>(p->child()->size());
      }
      row += p->size();
    }
    off[n] = base;
    if (type.isArray()) out->setChild(concat(children, type.elementType()));
    row = 0;
    for (const Vector* p : parts) {
      if (!p->validity().allValid())
        for (std::size_t i = 0; i < p->size(); ++i)
          if (p->isNull(i)) out->setNull(row + i);
      row += p->size();
    }
    return out;
  }
  const std::size_t w = type.fixedWidth();
  // Every row is copied from a part: the values need no zeroing first.
  auto out = w ? Vector::uninitialized(type, n) : Vector::make(type, n);
  std::size_t row = 0;
  for (const Vector* p : parts) {
    if (p->type().fixedWidth() != w) throw std::logic_error("concat of vectors with different physical types");
    if (w && p->size()) std::memcpy(out->rawData().data() + row * w, p->data<unsigned char>(), p->size() * w);
    if (!p->validity().allValid())
      for (std::size_t i = 0; i < p->size(); ++i)
        if (p->isNull(i)) out->setNull(row + i);
    row += p->size();
  }
  return out;
}

// ---- Batches --------------------------------------------------------------------------------------

std::size_t totalRows(const Partitions& parts) {
  std::size_t n = 0;
  for (const auto& b : parts) n += b.rows;
  return n;
}

// In the row-wise helpers a null column (an empty slot: no consumer reads it) stays null.
Batch takeRows(const Batch& b, const std::vector<std::int64_t>& idx) {
  Batch out;
  out.rows = idx.size();
  out.columns.reserve(b.columns.size());
  for (const auto& c : b.columns) out.columns.push_back(c ? take(*c, idx) : nullptr);
  return out;
}

Batch sliceRows(const Batch& b, std::size_t offset, std::size_t length) {
  Batch out;
  out.rows = length;
  for (const auto& c : b.columns) out.columns.push_back(c ? slice(*c, offset, length) : nullptr);
  return out;
}

Batch filterRows(const Batch& b, const std::uint8_t* sel, std::size_t selectedCount) {
  std::vector<std::int64_t> idx;
  idx.reserve(selectedCount);
  for (std::size_t i = 0; i < b.rows; ++i)
    if (sel[i]) idx.push_back(static_cast<std::int64_t>(i));
  return takeRows(b, idx);
}

Batch concatBatches(const Partitions& parts, const std::vector<DataType>& types) {
  Batch out;
  out.rows = totalRows(parts);
  if (parts.size() == 1 && parts[0].columns.size() == types.size()) return parts[0];
  for (std::size_t c = 0; c < types.size(); ++c) {
    std::vector<const Vector*> cols;
    bool skipped = false;
    for (const auto& p : parts) {
      cols.push_back(p.columns.at(c).get());
      skipped = skipped || !cols.back();
    }
    // A column no consumer reads stays an empty slot.
    out.columns.push_back(skipped && !parts.empty() ? nullptr : concat(cols, types[c]));
  }
  return out;
}

Partitions splitBatch(const Batch& b, std::size_t n) {
  n = std::max<std::size_t>(n, 1);
  Partitions out;
  out.reserve(n);
  for (std::size_t p = 0; p < n; ++p) {
    std::size_t lo = b.rows * p / n, hi = b.rows * (p + 1) / n;
    if (n == 1) {
      out.push_back(b);
    } else {
      out.push_back(sliceRows(b, lo, hi - lo));
    }
  }
  return out;
}

}  // namespace engine
