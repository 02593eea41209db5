#include "front/orvtool/command_result.hpp"

namespace orvtool {

Value Value::list(List items)
{
    Value v;
    v.data_ = std::move(items);
    return v;
}

Value Value::object(Members members)
{
    Value v;
    v.data_ = std::move(members);
    return v;
}

Result& Result::field(std::string name, Value value)
{
    entries_.emplace_back(Field{std::move(name), std::move(value)});
    return *this;
}

Result& Result::line(std::string text)
{
    return this->text(std::move(text) + "\n");
}

Result& Result::text(std::string lines)
{
    entries_.emplace_back(Text{std::move(lines)});
    return *this;
}

Result& Result::labelled(std::string name, Value value, std::string label, std::string text)
{
    entries_.emplace_back(
        Labelled{Field{std::move(name), std::move(value)}, std::move(label), std::move(text)});
    return *this;
}

Result& Result::labelled(std::string name, const std::string& text, std::string label)
{
    return labelled(std::move(name), Value(text), std::move(label), text);
}

Result& Result::bytes(std::string name, std::uint64_t base, Bytes data)
{
    entries_.emplace_back(Block{std::move(name), base, std::move(data)});
    return *this;
}

Result& Result::append(const Result& other)
{
    entries_.insert(entries_.end(), other.entries_.begin(), other.entries_.end());
    return *this;
}

Result& Result::table(std::string name, Table table)
{
    entries_.emplace_back(Tabled{std::move(name), std::move(table)});
    return *this;
}

} // namespace orvtool
