#pragma once
// Byte streams standing in for the framework's stream classes: the algorithm
// layer processes them and the engine reads record batches into them.

#include <cstdint>
#include <vector>

enum class TSeekOrigin { Beginning, Current, End };

// A positioned byte stream. Reads and writes move the position; a read at or
// past the end returns 0.
class TStream {
  public:
    virtual ~TStream() = default;

    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    virtual void SetSize(int64_t size) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }
    int64_t Size();
};

// A growable in-memory stream. Writing past the end extends it; seeking past
// the end is allowed and a later write fills the gap with zeros.
class TMemoryStream final : public TStream {
  public:
    TMemoryStream() = default;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    // Empties the stream and sets the position to 0.
    void Clear();
    uint8_t* Memory() { return data_.data(); }
    const uint8_t* Memory() const { return data_.data(); }
    int64_t Length() const { return static_cast<int64_t>(data_.size()); }

  private:
    std::vector<uint8_t> data_;
    int64_t position_ = 0;
};
