// Holds the layer's own OPC DA declarations (platform/OpcDaApi.h) against src/platform/idl/OpcDa.idl,
// from which the Windows build takes them: IIDs, the vtable slot and parameters of every method,
// enumerator values and structure layouts. A declaration the IDL gains without a Linux counterpart
// in the table below fails, as does an IDL that cannot be read or parsed.
#include "platform/OpcDa.h"
#include "platform/Unknown.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using ::testing::HasSubstr;

// --- The IDL subset ---------------------------------------------------------------------------

// A named type and the number of '*' after it.
struct TypeRef {
    std::string name;
    int pointers = 0;
};

struct IdlAlias {
    std::string name;
    TypeRef target;
};

struct IdlEnum {
    std::string name;
    std::vector<std::pair<std::string, long long>> values;
};

// A structure's field or a method's parameter.
struct IdlField {
    TypeRef type;
    std::string name;
};

struct IdlStruct {
    std::string name;
    std::vector<IdlField> fields;
};

struct IdlMethod {
    std::string name;
    std::vector<IdlField> params;
};

struct IdlInterface {
    std::string name;
    std::string base;
    GUID iid{};
    std::vector<IdlMethod> methods;
};

struct Idl {
    std::vector<IdlAlias> aliases;
    std::vector<IdlEnum> enums;
    std::vector<IdlStruct> structs;
    std::vector<IdlInterface> interfaces;
};

class ParseError : public std::runtime_error {
public:
    ParseError(int line, const std::string& what) : std::runtime_error("line " + std::to_string(line) + ": " + what) {}
};

struct Token {
    enum Kind { End, Name, Number, Text, Uuid, Mark };
    Kind kind;
    std::string text;
    int line;
};

std::vector<Token> tokenize(std::string_view s)
{
    constexpr std::string_view marks = "{}()[];,=:*-";
    auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; };
    std::vector<Token> out;
    int line = 1;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (s.substr(i, 2) == "//") {
            i = std::min(s.find('\n', i), s.size());
        } else if (s.substr(i, 2) == "/*") {
            const std::size_t end = s.find("*/", i + 2);
            if (end == std::string_view::npos) throw ParseError(line, "unterminated comment");
            line += static_cast<int>(std::count(s.begin() + i, s.begin() + end, '\n'));
            i = end + 2;
        } else if (c == '"') {
            const std::size_t end = s.find_first_of("\"\n", i + 1);
            if (end == std::string_view::npos || s[end] != '"') throw ParseError(line, "unterminated string");
            out.push_back({Token::Text, std::string(s.substr(i + 1, end - i - 1)), line});
            i = end + 1;
        } else if (isNameChar(c)) {
            std::size_t end = i;
            while (end < s.size() && isNameChar(s[end])) ++end;
            std::string word(s.substr(i, end - i));
            i = end;
            if (word != "uuid") {
                out.push_back({std::isdigit(static_cast<unsigned char>(c)) ? Token::Number : Token::Name, word, line});
                continue;
            }
            // A GUID's text is no sequence of tokens ("011E" starts like a number): take it whole.
            const std::size_t open = s.find_first_not_of(" \t", i);
            if (open == std::string_view::npos || s[open] != '(') throw ParseError(line, "uuid without '('");
            const std::size_t close = s.find_first_of(")\n", open);
            if (close == std::string_view::npos || s[close] != ')') throw ParseError(line, "uuid without ')'");
            out.push_back({Token::Uuid, std::string(s.substr(open + 1, close - open - 1)), line});
            i = close + 1;
        } else if (marks.find(c) != std::string_view::npos) {
            out.push_back({Token::Mark, std::string(1, c), line});
            ++i;
        } else {
            throw ParseError(line, "unexpected character '" + std::string(1, c) + "'");
        }
    }
    out.push_back({Token::End, "", line});
    return out;
}

// A strict reader of what OpcDa.idl uses: imports, typedefs of a type, enumerations and structures,
// and [object, uuid(...)] interfaces of HRESULT methods. Anything else is an error with its line,
// so nothing in the file can be skipped unchecked.
class Parser {
public:
    explicit Parser(std::string_view text) : _tokens(tokenize(text)) {}

    Idl parse()
    {
        Idl idl;
        while (peek().kind != Token::End) {
            if (acceptWord("import")) {
                if (peek().kind != Token::Text) fail("expected the name of an imported file");
                next();
                expect(";");
            } else if (acceptWord("typedef")) {
                if (acceptWord("enum")) enumeration(idl);
                else if (acceptWord("struct")) structure(idl);
                else alias(idl);
            } else if (isMark("[")) {
                const Attributes attributes = attributeList();
                if (!acceptWord("interface")) fail("expected an interface after the attributes");
                interfaceDeclaration(idl, attributes);
            } else {
                fail("expected import, typedef or an [object, uuid(...)] interface");
            }
        }
        return idl;
    }

private:
    struct Attributes {
        std::vector<std::string> names;
        std::optional<GUID> uuid;
    };

    const Token& peek() const { return _tokens[_at]; }
    Token next()
    {
        Token t = _tokens[_at];
        if (t.kind != Token::End) ++_at;
        return t;
    }
    bool isMark(std::string_view mark) const { return peek().kind == Token::Mark && peek().text == mark; }
    bool accept(std::string_view mark)
    {
        if (!isMark(mark)) return false;
        ++_at;
        return true;
    }
    void expect(std::string_view mark)
    {
        if (!accept(mark)) fail("expected '" + std::string(mark) + "'");
    }
    bool acceptWord(std::string_view word)
    {
        if (peek().kind != Token::Name || peek().text != word) return false;
        ++_at;
        return true;
    }
    std::string name(const std::string& what)
    {
        if (peek().kind != Token::Name) fail("expected " + what);
        return next().text;
    }
    [[noreturn]] void fail(const std::string& what) const
    {
        throw ParseError(peek().line, what + (peek().kind == Token::End ? " at the end of the text"
                                                                         : ", found '" + peek().text + "'"));
    }
    // Every declared name and enumerator shares one scope, as in the C header made from the file.
    void declare(const std::string& declared, int line)
    {
        if (!_names.insert(declared).second) throw ParseError(line, declared + " is declared twice");
    }

    long long number()
    {
        const bool negative = accept("-");
        if (peek().kind != Token::Number) fail("expected a number");
        const std::string text = next().text;
        const bool hex = text.size() > 2 && (text[1] == 'x' || text[1] == 'X') && text[0] == '0';
        const char* first = text.data() + (hex ? 2 : 0);
        const char* last = text.data() + text.size();
        long long value = 0;
        const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
        if (error != std::errc() || end != last) throw ParseError(_tokens[_at - 1].line, "bad number '" + text + "'");
        return negative ? -value : value;
    }

    Attributes attributeList()
    {
        Attributes attributes;
        if (!accept("[")) return attributes;
        do {
            if (peek().kind == Token::Uuid) {
                const Token uuid = next();
                GUID guid{};
                if (attributes.uuid || !platform::guidFromString("{" + uuid.text + "}", guid))
                    throw ParseError(uuid.line, "bad or second uuid '" + uuid.text + "'");
                attributes.uuid = guid;
                attributes.names.push_back("uuid");
                continue;
            }
            attributes.names.push_back(name("an attribute"));
            // Arguments such as size_is(, *pdwCount) are kept by MIDL only; the layout ignores them.
            if (accept("(")) {
                for (int depth = 1; depth > 0;) {
                    if (peek().kind == Token::End || isMark("]")) fail("expected ')' closing the attribute");
                    if (accept("(")) ++depth;
                    else if (accept(")")) --depth;
                    else next();
                }
            }
        } while (accept(","));
        expect("]");
        return attributes;
    }

    // [attributes] Type *... name
    IdlField declaration(const std::string& what)
    {
        attributeList();
        IdlField field;
        field.type.name = name("a type");
        while (accept("*")) ++field.type.pointers;
        field.name = name(what);
        return field;
    }

    void alias(Idl& idl)
    {
        IdlAlias alias;
        alias.target.name = name("a type, enum or struct after typedef");
        while (accept("*")) ++alias.target.pointers;
        const int line = peek().line;
        alias.name = name("the typedef's name");
        expect(";");
        declare(alias.name, line);
        idl.aliases.push_back(std::move(alias));
    }

    void enumeration(Idl& idl)
    {
        if (peek().kind == Token::Name) next(); // the tag
        expect("{");
        IdlEnum e;
        long long value = 0;
        while (!accept("}")) {
            const int line = peek().line;
            const std::string enumerator = name("an enumerator");
            if (accept("=")) value = number();
            declare(enumerator, line);
            e.values.emplace_back(enumerator, value++);
            if (!accept(",")) {
                expect("}");
                break;
            }
        }
        if (e.values.empty()) fail("an enumeration needs enumerators");
        const int line = peek().line;
        e.name = name("the enumeration's name");
        expect(";");
        declare(e.name, line);
        idl.enums.push_back(std::move(e));
    }

    void structure(Idl& idl)
    {
        if (peek().kind == Token::Name) next(); // the tag
        expect("{");
        IdlStruct s;
        std::set<std::string> fieldNames;
        while (!accept("}")) {
            const int line = peek().line;
            IdlField field = declaration("a field name");
            if (!fieldNames.insert(field.name).second) throw ParseError(line, "field " + field.name + " twice");
            expect(";");
            s.fields.push_back(std::move(field));
        }
        if (s.fields.empty()) fail("a structure needs fields");
        const int line = peek().line;
        s.name = name("the structure's name");
        expect(";");
        declare(s.name, line);
        idl.structs.push_back(std::move(s));
    }

    void interfaceDeclaration(Idl& idl, const Attributes& attributes)
    {
        const int line = peek().line;
        IdlInterface i;
        i.name = name("the interface's name");
        const auto& names = attributes.names;
        if (std::find(names.begin(), names.end(), "object") == names.end() || !attributes.uuid)
            throw ParseError(line, "interface " + i.name + " needs [object, uuid(...)]");
        i.iid = *attributes.uuid;
        declare(i.name, line);
        expect(":");
        i.base = name("the base interface");
        const bool baseKnown = i.base == "IUnknown" || std::any_of(idl.interfaces.begin(), idl.interfaces.end(),
                                                                   [&](const auto& o) { return o.name == i.base; });
        if (!baseKnown) throw ParseError(line, "base interface " + i.base + " is neither IUnknown nor declared above");
        expect("{");
        std::set<std::string> methodNames;
        while (!accept("}")) {
            if (!acceptWord("HRESULT")) fail("expected a method returning HRESULT");
            const int methodLine = peek().line;
            IdlMethod m;
            m.name = name("a method name");
            if (!methodNames.insert(m.name).second) throw ParseError(methodLine, "method " + m.name + " twice");
            expect("(");
            if (peek().kind == Token::Name && peek().text == "void" && _tokens[_at + 1].text == ")") next();
            if (!accept(")")) {
                do m.params.push_back(declaration("a parameter name"));
                while (accept(","));
                expect(")");
            }
            expect(";");
            i.methods.push_back(std::move(m));
        }
        accept(";");
        idl.interfaces.push_back(std::move(i));
    }

    std::vector<Token> _tokens;
    std::size_t _at = 0;
    std::set<std::string> _names;
};

struct IdlParse {
    std::optional<Idl> idl;
    std::string error;
};

IdlParse parseIdl(std::string_view text)
{
    try {
        return {Parser(text).parse(), {}};
    } catch (const ParseError& e) {
        return {std::nullopt, e.what()};
    }
}

std::filesystem::path idlPath()
{
    // TAGVISTA_OPCDA_IDL holds the header against another copy of the file.
    if (const char* other = std::getenv("TAGVISTA_OPCDA_IDL"); other != nullptr && *other != '\0') return other;
    // This file is tests/platform/TestOpcDaDeclarations.cpp of the source tree.
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "src/platform/idl/OpcDa.idl";
}

std::optional<std::string> readText(const std::filesystem::path& path)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad()) return std::nullopt;
    return text;
}

// --- What a type is, as far as the binary interface goes --------------------------------------

struct Shape {
    int indirections = 0;   // pointers and references in front of the base type
    bool constBase = false; // what they finally point to is const
    std::string base;       // "uint32", "int32", "float32", "char16", "enum NAME", "struct NAME"

    bool operator==(const Shape&) const = default;
};

std::string describe(const Shape& s)
{
    return (s.constBase ? "const " : "") + s.base + std::string(static_cast<std::size_t>(s.indirections), '*');
}

struct Layout {
    std::size_t size = 0;
    std::size_t align = 1;
    Shape shape;
};

struct StructLayout {
    std::vector<std::size_t> offsets;
    std::vector<Layout> fields;
    std::size_t size = 0;
    std::size_t align = 1;
};

// GCC names a type in its spelling of this function: "... [with T = NAME; ...]".
template <class T>
std::string typeName()
{
    const std::string_view f = __PRETTY_FUNCTION__;
    const std::size_t from = f.find("T = ") + 4;
    return std::string(f.substr(from, f.find_first_of(";]", from) - from));
}

template <class T>
Shape shapeOf()
{
    if constexpr (std::is_reference_v<T> || std::is_pointer_v<T>) {
        Shape s = shapeOf<std::remove_pointer_t<std::remove_reference_t<T>>>();
        ++s.indirections;
        return s;
    } else {
        using U = std::remove_cv_t<T>;
        Shape s;
        s.constBase = std::is_const_v<T>;
        if constexpr (std::is_same_v<U, char16_t>) s.base = "char16";
        else if constexpr (std::is_floating_point_v<U>) s.base = "float" + std::to_string(8 * sizeof(U));
        else if constexpr (std::is_integral_v<U>)
            s.base = (std::is_signed_v<U> ? "int" : "uint") + std::to_string(8 * sizeof(U));
        else if constexpr (std::is_enum_v<U>) s.base = "enum " + typeName<U>();
        else if constexpr (std::is_class_v<U> || std::is_union_v<U>) s.base = "struct " + typeName<U>();
        else s.base = typeName<U>();
        return s;
    }
}

std::optional<StructLayout> structLayout(const Idl& idl, const IdlStruct& s, std::string& unknown, int depth = 0);

// The size, alignment and shape of an IDL type on 64-bit Windows, or nothing (with the name in
// unknown) for a type this table does not know.
std::optional<Layout> layoutOf(const Idl& idl, const TypeRef& type, std::string& unknown, int depth = 0)
{
    // The system's types the file uses, with the spelling the C declarations give their classes.
    static const std::map<std::string, Layout, std::less<>> system = {
        {"BYTE", {1, 1, {0, false, "uint8"}}},
        {"WORD", {2, 2, {0, false, "uint16"}}},
        {"VARTYPE", {2, 2, {0, false, "uint16"}}},
        {"DWORD", {4, 4, {0, false, "uint32"}}},
        {"LCID", {4, 4, {0, false, "uint32"}}},
        {"BOOL", {4, 4, {0, false, "int32"}}},
        {"LONG", {4, 4, {0, false, "int32"}}},
        {"HRESULT", {4, 4, {0, false, "int32"}}},
        {"FLOAT", {4, 4, {0, false, "float32"}}},
        {"FILETIME", {8, 4, {0, false, "struct FILETIME"}}},
        {"VARIANT", {24, 8, {0, false, "struct tagVARIANT"}}},
        {"LPWSTR", {8, 8, {1, false, "char16"}}},
        {"LPCWSTR", {8, 8, {1, true, "char16"}}},
        {"LPUNKNOWN", {8, 8, {1, false, "struct IUnknown"}}},
        {"LPENUMSTRING", {8, 8, {1, false, "struct IEnumString"}}},
        {"REFIID", {8, 8, {1, true, "struct GUID"}}},
    };
    if (depth > 16) {
        unknown = type.name + " (declared through itself)";
        return std::nullopt;
    }
    auto named = [&](const std::string& n) { return [&n](const auto& d) { return d.name == n; }; };
    std::optional<Layout> layout;
    if (const auto known = system.find(type.name); known != system.end()) {
        layout = known->second;
    } else if (const auto a = std::find_if(idl.aliases.begin(), idl.aliases.end(), named(type.name));
               a != idl.aliases.end()) {
        layout = layoutOf(idl, a->target, unknown, depth + 1);
    } else if (std::any_of(idl.enums.begin(), idl.enums.end(), named(type.name))) {
        layout = Layout{4, 4, {0, false, "enum " + type.name}};
    } else if (const auto s = std::find_if(idl.structs.begin(), idl.structs.end(), named(type.name));
               s != idl.structs.end()) {
        if (type.pointers > 0) {
            layout = Layout{0, 1, {0, false, "struct " + type.name}};
        } else if (const auto fields = structLayout(idl, *s, unknown, depth + 1)) {
            layout = Layout{fields->size, fields->align, {0, false, "struct " + type.name}};
        }
    } else {
        unknown = type.name;
    }
    if (layout && type.pointers > 0) {
        layout->size = layout->align = 8;
        layout->shape.indirections += type.pointers;
    }
    return layout;
}

// Natural alignment, as MIDL and the Windows compilers lay structures out.
std::optional<StructLayout> structLayout(const Idl& idl, const IdlStruct& s, std::string& unknown, int depth)
{
    StructLayout out;
    std::size_t end = 0;
    for (const IdlField& field : s.fields) {
        const std::optional<Layout> layout = layoutOf(idl, field.type, unknown, depth);
        if (!layout) return std::nullopt;
        const std::size_t offset = (end + layout->align - 1) / layout->align * layout->align;
        out.offsets.push_back(offset);
        out.fields.push_back(*layout);
        end = offset + layout->size;
        out.align = std::max(out.align, layout->align);
    }
    out.size = (end + out.align - 1) / out.align * out.align;
    return out;
}

// --- The Linux declarations ------------------------------------------------------------------

constexpr std::size_t kNotVirtual = SIZE_MAX;

// With the Itanium C++ ABI that GCC follows on x86-64, a pointer to a member function is two words:
// for a virtual function the first holds 1 + the byte offset of its slot in the vtable (odd, which
// tells it from a function's address), the second the adjustment of this. The first word therefore
// tells which slot the declaration occupies.
template <class Pointer>
std::size_t vtableSlot(Pointer method)
{
    static_assert(std::is_member_function_pointer_v<Pointer> && sizeof(Pointer) == 2 * sizeof(std::uintptr_t));
    std::uintptr_t word = 0;
    std::memcpy(&word, &method, sizeof word);
    return (word & 1) != 0 ? (word - 1) / sizeof(void*) : kNotVirtual;
}

// A virtual function added by a derived class takes the first slot after its base's last, so its
// slot is the number of slots the base has: a method the IDL lacks fails even at the end.
template <class Interface>
struct SlotAfterLast : Interface {
    virtual void afterLast() = 0;
};

template <class Interface>
std::size_t slotCount()
{
    return vtableSlot(&SlotAfterLast<Interface>::afterLast);
}

// Converts to the type of any field, so T{AnyField{}, ...} compiles as long as there are no more
// initialisers than T has fields: a field the table does not name fails even in padding.
struct AnyField {
    template <class T>
    operator T() const; // only named in unevaluated operands
};

template <class T, std::size_t... I>
constexpr bool takesInitialisers(std::index_sequence<I...>)
{
    return requires { T{(static_cast<void>(I), AnyField{})...}; };
}

template <class T, std::size_t N = 0>
constexpr std::size_t aggregateFieldCount()
{
    if constexpr (N < 64 && takesInitialisers<T>(std::make_index_sequence<N + 1>{}))
        return aggregateFieldCount<T, N + 1>();
    else
        return N;
}

struct MethodDecl {
    std::string name;
    std::size_t slot = kNotVirtual;
    Shape result;
    std::size_t parameterCount = 0;
    std::vector<Shape> params;
};

struct InterfaceDecl {
    std::string name;
    IID constant{};
    IID fromIidOf{};
    std::size_t slots = 0;
    std::vector<MethodDecl> methods;
};

struct EnumDecl {
    std::string name;
    std::size_t size = 0;
    std::vector<std::pair<std::string, long long>> values;
};

struct FieldDecl {
    std::string name;
    std::size_t offset = 0;
    std::size_t size = 0;
    Shape shape;
};

struct StructDecl {
    std::string name;
    std::size_t size = 0;
    std::size_t fieldCount = 0;
    std::vector<FieldDecl> fields;
};

struct AliasDecl {
    std::string name;
    Shape shape;
};

struct Declarations {
    std::vector<AliasDecl> aliases;
    std::vector<EnumDecl> enums;
    std::vector<StructDecl> structs;
    std::vector<InterfaceDecl> interfaces;
};

template <class R, class C, class... A>
MethodDecl methodDecl(std::string name, R (C::*method)(A...))
{
    return {std::move(name), vtableSlot(method), shapeOf<R>(), sizeof...(A), {shapeOf<A>()...}};
}

template <class I>
InterfaceDecl interfaceDecl(std::string name, const IID& constant, std::vector<MethodDecl> methods)
{
    static_assert(std::is_base_of_v<IUnknown, I>);
    return {std::move(name), constant, platform::iidOf<I>(), slotCount<I>(), std::move(methods)};
}

template <class E>
std::pair<std::string, long long> enumerator(std::string name, E value)
{
    return {std::move(name), static_cast<long long>(value)};
}

template <class E>
EnumDecl enumDecl(std::string name, std::vector<std::pair<std::string, long long>> values)
{
    static_assert(std::is_enum_v<E>);
    return {std::move(name), sizeof(E), std::move(values)};
}

template <class S>
StructDecl structDecl(std::string name, std::vector<FieldDecl> fields)
{
    return {std::move(name), sizeof(S), aggregateFieldCount<S>(), std::move(fields)};
}

#define OPC_METHOD(I, M) methodDecl(#M, &I::M)
#define OPC_INTERFACE(I, ...) interfaceDecl<I>(#I, IID_##I, {__VA_ARGS__})
// An enumerator of another enumeration does not convert to E and fails to compile.
#define OPC_ENUMERATOR(E, V) enumerator<E>(#V, V)
#define OPC_FIELD(S, F) FieldDecl{#F, offsetof(S, F), sizeof(S::F), shapeOf<decltype(S::F)>()}

// The Linux counterpart of every declaration of the IDL.
const Declarations& linuxDeclarations()
{
    static const Declarations declarations{
        .aliases = {{"OPCHANDLE", shapeOf<OPCHANDLE>()}},
        .enums =
            {
                enumDecl<OPCDATASOURCE>("OPCDATASOURCE", {OPC_ENUMERATOR(OPCDATASOURCE, OPC_DS_CACHE),
                                                          OPC_ENUMERATOR(OPCDATASOURCE, OPC_DS_DEVICE)}),
                enumDecl<OPCBROWSETYPE>("OPCBROWSETYPE", {OPC_ENUMERATOR(OPCBROWSETYPE, OPC_BRANCH),
                                                          OPC_ENUMERATOR(OPCBROWSETYPE, OPC_LEAF),
                                                          OPC_ENUMERATOR(OPCBROWSETYPE, OPC_FLAT)}),
                enumDecl<OPCNAMESPACETYPE>("OPCNAMESPACETYPE", {OPC_ENUMERATOR(OPCNAMESPACETYPE, OPC_NS_HIERARCHIAL),
                                                                OPC_ENUMERATOR(OPCNAMESPACETYPE, OPC_NS_FLAT)}),
                enumDecl<OPCBROWSEDIRECTION>("OPCBROWSEDIRECTION",
                                             {OPC_ENUMERATOR(OPCBROWSEDIRECTION, OPC_BROWSE_UP),
                                              OPC_ENUMERATOR(OPCBROWSEDIRECTION, OPC_BROWSE_DOWN),
                                              OPC_ENUMERATOR(OPCBROWSEDIRECTION, OPC_BROWSE_TO)}),
                enumDecl<OPCEUTYPE>("OPCEUTYPE", {OPC_ENUMERATOR(OPCEUTYPE, OPC_NOENUM),
                                                  OPC_ENUMERATOR(OPCEUTYPE, OPC_ANALOG),
                                                  OPC_ENUMERATOR(OPCEUTYPE, OPC_ENUMERATED)}),
                enumDecl<OPCSERVERSTATE>("OPCSERVERSTATE", {OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_RUNNING),
                                                            OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_FAILED),
                                                            OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_NOCONFIG),
                                                            OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_SUSPENDED),
                                                            OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_TEST),
                                                            OPC_ENUMERATOR(OPCSERVERSTATE, OPC_STATUS_COMM_FAULT)}),
                enumDecl<OPCENUMSCOPE>("OPCENUMSCOPE", {OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_PRIVATE_CONNECTIONS),
                                                        OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_PUBLIC_CONNECTIONS),
                                                        OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_ALL_CONNECTIONS),
                                                        OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_PRIVATE),
                                                        OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_PUBLIC),
                                                        OPC_ENUMERATOR(OPCENUMSCOPE, OPC_ENUM_ALL)}),
                enumDecl<OPCBROWSEFILTER>("OPCBROWSEFILTER",
                                          {OPC_ENUMERATOR(OPCBROWSEFILTER, OPC_BROWSE_FILTER_ALL),
                                           OPC_ENUMERATOR(OPCBROWSEFILTER, OPC_BROWSE_FILTER_BRANCHES),
                                           OPC_ENUMERATOR(OPCBROWSEFILTER, OPC_BROWSE_FILTER_ITEMS)}),
            },
        .structs =
            {
                structDecl<OPCSERVERSTATUS>(
                    "OPCSERVERSTATUS",
                    {OPC_FIELD(OPCSERVERSTATUS, ftStartTime), OPC_FIELD(OPCSERVERSTATUS, ftCurrentTime),
                     OPC_FIELD(OPCSERVERSTATUS, ftLastUpdateTime), OPC_FIELD(OPCSERVERSTATUS, dwServerState),
                     OPC_FIELD(OPCSERVERSTATUS, dwGroupCount), OPC_FIELD(OPCSERVERSTATUS, dwBandWidth),
                     OPC_FIELD(OPCSERVERSTATUS, wMajorVersion), OPC_FIELD(OPCSERVERSTATUS, wMinorVersion),
                     OPC_FIELD(OPCSERVERSTATUS, wBuildNumber), OPC_FIELD(OPCSERVERSTATUS, wReserved),
                     OPC_FIELD(OPCSERVERSTATUS, szVendorInfo)}),
                structDecl<OPCITEMDEF>(
                    "OPCITEMDEF",
                    {OPC_FIELD(OPCITEMDEF, szAccessPath), OPC_FIELD(OPCITEMDEF, szItemID),
                     OPC_FIELD(OPCITEMDEF, bActive), OPC_FIELD(OPCITEMDEF, hClient), OPC_FIELD(OPCITEMDEF, dwBlobSize),
                     OPC_FIELD(OPCITEMDEF, pBlob), OPC_FIELD(OPCITEMDEF, vtRequestedDataType),
                     OPC_FIELD(OPCITEMDEF, wReserved)}),
                structDecl<OPCITEMRESULT>(
                    "OPCITEMRESULT",
                    {OPC_FIELD(OPCITEMRESULT, hServer), OPC_FIELD(OPCITEMRESULT, vtCanonicalDataType),
                     OPC_FIELD(OPCITEMRESULT, wReserved), OPC_FIELD(OPCITEMRESULT, dwAccessRights),
                     OPC_FIELD(OPCITEMRESULT, dwBlobSize), OPC_FIELD(OPCITEMRESULT, pBlob)}),
                structDecl<OPCITEMSTATE>(
                    "OPCITEMSTATE",
                    {OPC_FIELD(OPCITEMSTATE, hClient), OPC_FIELD(OPCITEMSTATE, ftTimeStamp),
                     OPC_FIELD(OPCITEMSTATE, wQuality), OPC_FIELD(OPCITEMSTATE, wReserved),
                     OPC_FIELD(OPCITEMSTATE, vDataValue)}),
                structDecl<OPCITEMPROPERTY>(
                    "OPCITEMPROPERTY",
                    {OPC_FIELD(OPCITEMPROPERTY, vtDataType), OPC_FIELD(OPCITEMPROPERTY, wReserved),
                     OPC_FIELD(OPCITEMPROPERTY, dwPropertyID), OPC_FIELD(OPCITEMPROPERTY, szItemID),
                     OPC_FIELD(OPCITEMPROPERTY, szDescription), OPC_FIELD(OPCITEMPROPERTY, vValue),
                     OPC_FIELD(OPCITEMPROPERTY, hrErrorID), OPC_FIELD(OPCITEMPROPERTY, dwReserved)}),
                structDecl<OPCITEMPROPERTIES>(
                    "OPCITEMPROPERTIES",
                    {OPC_FIELD(OPCITEMPROPERTIES, hrErrorID), OPC_FIELD(OPCITEMPROPERTIES, dwNumProperties),
                     OPC_FIELD(OPCITEMPROPERTIES, pItemProperties), OPC_FIELD(OPCITEMPROPERTIES, dwReserved)}),
                structDecl<OPCBROWSEELEMENT>(
                    "OPCBROWSEELEMENT",
                    {OPC_FIELD(OPCBROWSEELEMENT, szName), OPC_FIELD(OPCBROWSEELEMENT, szItemID),
                     OPC_FIELD(OPCBROWSEELEMENT, dwFlagValue), OPC_FIELD(OPCBROWSEELEMENT, dwReserved),
                     OPC_FIELD(OPCBROWSEELEMENT, ItemProperties)}),
            },
        .interfaces =
            {
                OPC_INTERFACE(IOPCServer, OPC_METHOD(IOPCServer, AddGroup), OPC_METHOD(IOPCServer, GetErrorString),
                              OPC_METHOD(IOPCServer, GetGroupByName), OPC_METHOD(IOPCServer, GetStatus),
                              OPC_METHOD(IOPCServer, RemoveGroup), OPC_METHOD(IOPCServer, CreateGroupEnumerator)),
                OPC_INTERFACE(IOPCBrowseServerAddressSpace,
                              OPC_METHOD(IOPCBrowseServerAddressSpace, QueryOrganization),
                              OPC_METHOD(IOPCBrowseServerAddressSpace, ChangeBrowsePosition),
                              OPC_METHOD(IOPCBrowseServerAddressSpace, BrowseOPCItemIDs),
                              OPC_METHOD(IOPCBrowseServerAddressSpace, GetItemID),
                              OPC_METHOD(IOPCBrowseServerAddressSpace, BrowseAccessPaths)),
                OPC_INTERFACE(IOPCGroupStateMgt, OPC_METHOD(IOPCGroupStateMgt, GetState),
                              OPC_METHOD(IOPCGroupStateMgt, SetState), OPC_METHOD(IOPCGroupStateMgt, SetName),
                              OPC_METHOD(IOPCGroupStateMgt, CloneGroup)),
                OPC_INTERFACE(IOPCItemMgt, OPC_METHOD(IOPCItemMgt, AddItems), OPC_METHOD(IOPCItemMgt, ValidateItems),
                              OPC_METHOD(IOPCItemMgt, RemoveItems), OPC_METHOD(IOPCItemMgt, SetActiveState),
                              OPC_METHOD(IOPCItemMgt, SetClientHandles), OPC_METHOD(IOPCItemMgt, SetDatatypes),
                              OPC_METHOD(IOPCItemMgt, CreateEnumerator)),
                OPC_INTERFACE(IOPCCommon, OPC_METHOD(IOPCCommon, SetLocaleID), OPC_METHOD(IOPCCommon, GetLocaleID),
                              OPC_METHOD(IOPCCommon, QueryAvailableLocaleIDs), OPC_METHOD(IOPCCommon, GetErrorString),
                              OPC_METHOD(IOPCCommon, SetClientName)),
                OPC_INTERFACE(IOPCShutdown, OPC_METHOD(IOPCShutdown, ShutdownRequest)),
                OPC_INTERFACE(IOPCDataCallback, OPC_METHOD(IOPCDataCallback, OnDataChange),
                              OPC_METHOD(IOPCDataCallback, OnReadComplete),
                              OPC_METHOD(IOPCDataCallback, OnWriteComplete),
                              OPC_METHOD(IOPCDataCallback, OnCancelComplete)),
                OPC_INTERFACE(IOPCBrowse, OPC_METHOD(IOPCBrowse, GetProperties), OPC_METHOD(IOPCBrowse, Browse)),
            },
    };
    return declarations;
}

// --- The comparison --------------------------------------------------------------------------

template <class T>
const T* byName(const std::vector<T>& items, std::string_view name)
{
    const auto found = std::find_if(items.begin(), items.end(), [&](const T& item) { return item.name == name; });
    return found == items.end() ? nullptr : &*found;
}

std::string slotText(std::size_t slot) { return slot == kNotVirtual ? "not virtual" : "slot " + std::to_string(slot); }

// Every way the Linux declarations differ from the IDL, one line each; none when they agree.
std::vector<std::string> differences(const Idl& idl, const Declarations& onLinux)
{
    std::vector<std::string> out;
    auto missing = [&](const std::string& what) {
        out.push_back(what + " is in the IDL but has no entry in the table of Linux declarations");
    };
    auto notInIdl = [&](const std::string& what) { out.push_back(what + " is in the table but not in the IDL"); };
    auto differ = [&](const std::string& what, const std::string& linuxSide, const std::string& idlSide) {
        out.push_back(what + linuxSide + " on Linux, " + idlSide + " in the IDL");
    };
    auto number = [](std::size_t n) { return std::to_string(n); };
    auto layoutOrReport = [&](const TypeRef& type, const std::string& where) -> std::optional<Layout> {
        std::string unknown;
        std::optional<Layout> layout = layoutOf(idl, type, unknown);
        if (!layout) out.push_back(where + ": the IDL type " + unknown + " has no known layout");
        return layout;
    };

    for (const IdlAlias& a : idl.aliases) {
        const AliasDecl* d = byName(onLinux.aliases, a.name);
        if (d == nullptr) {
            missing("typedef " + a.name);
            continue;
        }
        const auto layout = layoutOrReport({a.name, 0}, "typedef " + a.name);
        if (layout && layout->shape != d->shape)
            differ("typedef " + a.name + " is ", describe(d->shape), describe(layout->shape));
    }
    for (const AliasDecl& d : onLinux.aliases)
        if (byName(idl.aliases, d.name) == nullptr) notInIdl("typedef " + d.name);

    for (const IdlEnum& e : idl.enums) {
        const EnumDecl* d = byName(onLinux.enums, e.name);
        if (d == nullptr) {
            missing("enum " + e.name);
            continue;
        }
        const std::string where = "enum " + e.name;
        if (d->size != 4) differ(where + " takes ", number(d->size) + " bytes", "4");
        auto named = [](const std::string& name) { return [&name](const auto& v) { return v.first == name; }; };
        for (const auto& [name, value] : e.values) {
            const auto found = std::find_if(d->values.begin(), d->values.end(), named(name));
            if (found == d->values.end()) missing(where + ": " + name);
            else if (found->second != value)
                differ(where + ": " + name + " is ", std::to_string(found->second), std::to_string(value));
        }
        for (const auto& [name, value] : d->values)
            if (std::none_of(e.values.begin(), e.values.end(), named(name))) notInIdl(where + ": " + name);
    }
    for (const EnumDecl& d : onLinux.enums)
        if (byName(idl.enums, d.name) == nullptr) notInIdl("enum " + d.name);

    for (const IdlStruct& s : idl.structs) {
        const StructDecl* d = byName(onLinux.structs, s.name);
        if (d == nullptr) {
            missing("struct " + s.name);
            continue;
        }
        const std::string where = "struct " + s.name;
        // The Linux order is that of the offsets, whatever the order of the table.
        std::vector<FieldDecl> linuxFields = d->fields;
        std::stable_sort(linuxFields.begin(), linuxFields.end(),
                         [](const FieldDecl& a, const FieldDecl& b) { return a.offset < b.offset; });
        std::string idlNames;
        std::string linuxNames;
        for (const IdlField& f : s.fields) idlNames += " " + f.name;
        for (const FieldDecl& f : linuxFields) linuxNames += " " + f.name;
        if (idlNames != linuxNames) differ(where + ": fields", linuxNames, idlNames);
        if (d->fieldCount != s.fields.size())
            differ(where + " has ", number(d->fieldCount) + " fields", number(s.fields.size()));
        std::string unknown;
        const std::optional<StructLayout> layout = structLayout(idl, s, unknown);
        if (!layout) {
            out.push_back(where + ": the IDL type " + unknown + " has no known layout");
            continue;
        }
        if (d->size != layout->size) differ(where + " takes ", number(d->size) + " bytes", number(layout->size));
        for (std::size_t i = 0; i < s.fields.size(); ++i) {
            const FieldDecl* f = byName(d->fields, s.fields[i].name);
            const std::string field = where + "." + s.fields[i].name;
            if (f == nullptr) {
                missing(field);
                continue;
            }
            if (f->offset != layout->offsets[i])
                differ(field + " is at offset ", number(f->offset), number(layout->offsets[i]));
            if (f->size != layout->fields[i].size)
                differ(field + " takes ", number(f->size) + " bytes", number(layout->fields[i].size));
            if (f->shape != layout->fields[i].shape)
                differ(field + " is ", describe(f->shape), describe(layout->fields[i].shape));
        }
        for (const FieldDecl& f : d->fields)
            if (byName(s.fields, f.name) == nullptr) notInIdl(where + "." + f.name);
    }
    for (const StructDecl& d : onLinux.structs)
        if (byName(idl.structs, d.name) == nullptr) notInIdl("struct " + d.name);

    // IUnknown's QueryInterface, AddRef and Release come first.
    std::map<std::string, std::size_t> slotsOf = {{"IUnknown", 3}};
    for (const IdlInterface& i : idl.interfaces) {
        const std::size_t first = slotsOf[i.base];
        const std::size_t slots = slotsOf[i.name] = first + i.methods.size();
        const InterfaceDecl* d = byName(onLinux.interfaces, i.name);
        if (d == nullptr) {
            missing("interface " + i.name);
            continue;
        }
        const std::string uuid = platform::guidToString(i.iid);
        if (d->constant != i.iid) differ("IID_" + i.name + " is ", platform::guidToString(d->constant), uuid);
        if (d->fromIidOf != i.iid)
            differ("platform::iidOf<" + i.name + ">() is ", platform::guidToString(d->fromIidOf), uuid);
        if (d->slots != slots) differ(i.name + " has ", number(d->slots) + " vtable slots", number(slots));
        for (std::size_t k = 0; k < i.methods.size(); ++k) {
            const IdlMethod& m = i.methods[k];
            const std::string where = i.name + "::" + m.name;
            const MethodDecl* md = byName(d->methods, m.name);
            if (md == nullptr) {
                missing(where);
                continue;
            }
            if (md->slot != first + k) differ(where + ": vtable ", slotText(md->slot), slotText(first + k));
            if (describe(md->result) != "int32") differ(where + " returns ", describe(md->result), "HRESULT");
            if (md->parameterCount != m.params.size()) {
                differ(where + " takes ", number(md->parameterCount) + " parameters", number(m.params.size()));
                continue;
            }
            for (std::size_t p = 0; p < m.params.size(); ++p) {
                const std::string param = where + " parameter " + number(p + 1) + " (" + m.params[p].name + ")";
                const std::optional<Layout> layout = layoutOrReport(m.params[p].type, param);
                if (layout && layout->shape != md->params[p])
                    differ(param + " is ", describe(md->params[p]), describe(layout->shape));
            }
        }
        for (const MethodDecl& md : d->methods)
            if (byName(i.methods, md.name) == nullptr) notInIdl(i.name + "::" + md.name);
    }
    for (const InterfaceDecl& d : onLinux.interfaces)
        if (byName(idl.interfaces, d.name) == nullptr) notInIdl("interface " + d.name);
    return out;
}

std::string lines(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) text += "  " + item + "\n";
    return text;
}

// The file's declarations, or a failure of the calling test.
std::optional<Idl> loadIdl()
{
    const std::filesystem::path path = idlPath();
    const std::optional<std::string> text = readText(path);
    if (!text) {
        ADD_FAILURE() << "cannot read " << path;
        return std::nullopt;
    }
    IdlParse parsed = parseIdl(*text);
    if (!parsed.idl) ADD_FAILURE() << path << ", " << parsed.error;
    return std::move(parsed.idl);
}

// --- Tests -----------------------------------------------------------------------------------

TEST(OpcDaDeclarations, LinuxHeaderMatchesTheIdl)
{
    const std::optional<Idl> idl = loadIdl();
    ASSERT_TRUE(idl);
    const std::vector<std::string> found = differences(*idl, linuxDeclarations());
    EXPECT_TRUE(found.empty()) << "platform/OpcDaApi.h differs from " << idlPath() << ":\n" << lines(found);
}

// Each change of the file's declarations must show up as a difference naming what changed.
TEST(OpcDaDeclarations, ReportsEachKindOfMismatch)
{
    const std::optional<Idl> original = loadIdl();
    ASSERT_TRUE(original);
    ASSERT_FALSE(original->interfaces.empty());
    ASSERT_GE(original->interfaces[0].methods.size(), 2u);
    ASSERT_FALSE(original->enums.empty());
    ASSERT_FALSE(original->structs.empty());
    ASSERT_GE(original->structs[0].fields.size(), 2u);
    const IdlInterface& i = original->interfaces[0];
    const std::string firstMethod = i.name + "::" + i.methods[0].name;

    struct Change {
        const char* what;
        std::function<std::string(Idl&)> apply; // changes the copy, answers a text the report must hold
    };
    const std::vector<Change> changes = {
        {"two methods swapped",
         [&](Idl& idl) {
             std::swap(idl.interfaces[0].methods[0], idl.interfaces[0].methods[1]);
             return firstMethod + ": vtable slot";
         }},
        {"a method added at the end",
         [&](Idl& idl) {
             idl.interfaces[0].methods.push_back({"Unlisted", {}});
             return i.name + "::Unlisted is in the IDL but has no entry";
         }},
        {"a method's IDL removed",
         [&](Idl& idl) {
             const std::string last = idl.interfaces[0].methods.back().name;
             idl.interfaces[0].methods.pop_back();
             return i.name + "::" + last + " is in the table but not in the IDL";
         }},
        {"an interface more",
         [&](Idl& idl) {
             IdlInterface extra = idl.interfaces[0];
             extra.name = "IUnlisted";
             idl.interfaces.push_back(extra);
             return std::string("interface IUnlisted is in the IDL but has no entry");
         }},
        {"another uuid",
         [&](Idl& idl) {
             idl.interfaces[0].iid.Data4[7] ^= 1;
             return "IID_" + i.name + " is " + platform::guidToString(i.iid) + " on Linux";
         }},
        {"a parameter dropped",
         [&](Idl& idl) {
             for (IdlMethod& m : idl.interfaces[0].methods)
                 if (!m.params.empty()) {
                     m.params.pop_back();
                     const std::string count = std::to_string(m.params.size() + 1);
                     return i.name + "::" + m.name + " takes " + count + " parameters on Linux";
                 }
             return std::string("(no method with parameters)");
         }},
        {"a parameter of another type",
         [&](Idl& idl) {
             for (IdlMethod& m : idl.interfaces[0].methods)
                 if (!m.params.empty()) {
                     m.params[0].type = {m.params[0].type.name == "FLOAT" ? "DWORD" : "FLOAT", 0};
                     return i.name + "::" + m.name + " parameter 1 (" + m.params[0].name + ")";
                 }
             return std::string("(no method with parameters)");
         }},
        {"an enumerator's value",
         [&](Idl& idl) {
             auto& [name, value] = idl.enums[0].values[0];
             value += 100;
             return "enum " + idl.enums[0].name + ": " + name + " is " + std::to_string(value - 100) + " on Linux, " +
                    std::to_string(value) + " in the IDL";
         }},
        {"an enumerator more",
         [&](Idl& idl) {
             idl.enums[0].values.emplace_back("OPC_UNLISTED", 99);
             return "enum " + idl.enums[0].name + ": OPC_UNLISTED is in the IDL but has no entry";
         }},
        {"an enumeration more",
         [&](Idl& idl) {
             idl.enums.push_back({"OPCUNLISTED", {{"OPC_UNLISTED", 1}}});
             return std::string("enum OPCUNLISTED is in the IDL but has no entry");
         }},
        {"two fields swapped",
         [&](Idl& idl) {
             std::swap(idl.structs[0].fields[0], idl.structs[0].fields[1]);
             return "struct " + idl.structs[0].name + ": fields " + idl.structs[0].fields[1].name;
         }},
        {"a field widened",
         [&](Idl& idl) {
             for (IdlStruct& s : idl.structs)
                 for (IdlField& f : s.fields)
                     if (f.type.name == "WORD" && f.type.pointers == 0) {
                         f.type.name = "DWORD";
                         return "struct " + s.name + "." + f.name + " takes 2 bytes on Linux, 4 in the IDL";
                     }
             return std::string("(no WORD field)");
         }},
        {"a field more",
         [&](Idl& idl) {
             idl.structs[0].fields.push_back({{"DWORD", 0}, "dwUnlisted"});
             return "struct " + idl.structs[0].name + ".dwUnlisted is in the IDL but has no entry";
         }},
        {"a structure more",
         [&](Idl& idl) {
             idl.structs.push_back({"OPCUNLISTED", {{{"DWORD", 0}, "dwSize"}}});
             return std::string("struct OPCUNLISTED is in the IDL but has no entry");
         }},
        {"a field of a type without a known layout",
         [&](Idl& idl) {
             idl.structs[0].fields[0].type = {"UNLISTED_T", 0};
             return "struct " + idl.structs[0].name + ": the IDL type UNLISTED_T has no known layout";
         }},
        {"a typedef more",
         [&](Idl& idl) {
             idl.aliases.push_back({"OPCUNLISTED", {"DWORD", 0}});
             return std::string("typedef OPCUNLISTED is in the IDL but has no entry");
         }},
        {"nothing declared",
         [&](Idl& idl) {
             idl = Idl{};
             return "interface " + i.name + " is in the table but not in the IDL";
         }},
    };
    ASSERT_TRUE(differences(*original, linuxDeclarations()).empty());
    for (const Change& change : changes) {
        SCOPED_TRACE(change.what);
        Idl changed = *original;
        const std::string expected = change.apply(changed);
        const std::vector<std::string> found = differences(changed, linuxDeclarations());
        EXPECT_THAT(found, ::testing::Contains(HasSubstr(expected))) << lines(found);
    }
}

// The instruments of the comparison, on declarations whose answers are known.
struct Probe {
    virtual void first() = 0;
    virtual int second(int, double) = 0;
    void plain() {}
    virtual void third(const GUID&, char16_t**, const WCHAR*, OPCSERVERSTATE, float*) = 0;
};

struct Record {
    DWORD a;
    FILETIME time;
    VARIANT value;
    LPWSTR text;
};

TEST(OpcDaDeclarations, ReadsSlotsParametersAndFieldsOfDeclarations)
{
    EXPECT_EQ(vtableSlot(&Probe::first), 0u);
    EXPECT_EQ(vtableSlot(&Probe::second), 1u);
    EXPECT_EQ(vtableSlot(&Probe::third), 2u);
    EXPECT_EQ(vtableSlot(&Probe::plain), kNotVirtual);
    EXPECT_EQ(slotCount<Probe>(), 3u);
    EXPECT_EQ(vtableSlot(&IUnknown::QueryInterface), 0u);
    EXPECT_EQ(vtableSlot(&IUnknown::Release), 2u);
    EXPECT_EQ(slotCount<IUnknown>(), 3u);
    EXPECT_EQ(vtableSlot(&IOPCServer::AddGroup), 3u);

    const MethodDecl second = methodDecl("second", &Probe::second);
    EXPECT_EQ(second.parameterCount, 2u);
    EXPECT_EQ(describe(second.result), "int32");
    EXPECT_EQ(describe(second.params[1]), "float64");
    const MethodDecl third = methodDecl("third", &Probe::third);
    ASSERT_EQ(third.parameterCount, 5u);
    EXPECT_EQ(describe(third.params[0]), "const struct GUID*");
    EXPECT_EQ(describe(third.params[1]), "char16**");
    EXPECT_EQ(describe(third.params[2]), "const char16*");
    EXPECT_EQ(describe(third.params[3]), "enum OPCSERVERSTATE");
    EXPECT_EQ(describe(third.params[4]), "float32*");
    EXPECT_EQ(methodDecl("first", &Probe::first).parameterCount, 0u);

    EXPECT_EQ(aggregateFieldCount<Record>(), 4u);
    EXPECT_EQ(aggregateFieldCount<FILETIME>(), 2u);
}

TEST(OpcDaIdl, ReadsTheDeclarationsOfTheSubset)
{
    const IdlParse parsed = parseIdl(R"(// a line comment
import "unknwn.idl";
/* a block
   comment */
typedef DWORD HANDLE_T;
typedef enum tagE { A = 1, B, C = 0x10, D = -2, } E;
typedef struct tagS {
    [string] LPWSTR text;
    [size_is(n)] BYTE* data;
    DWORD n;
} S;
[object, uuid(01234567-89AB-CDEF-0123-456789abcdef), pointer_default(unique)]
interface IThing : IUnknown
{
    HRESULT None();
    HRESULT Nothing(void);
    HRESULT Many([in] HANDLE_T n, [out, size_is(, *n)] S** out, [in] REFIID riid, [out, iid_is(riid)] LPUNKNOWN* ppUnk);
}
[object, uuid(01234567-89AB-CDEF-0123-456789ABCDF0)]
interface IMore : IThing { HRESULT More([in] E e); };
)");
    ASSERT_TRUE(parsed.idl) << parsed.error;
    const Idl& idl = *parsed.idl;

    ASSERT_EQ(idl.aliases.size(), 1u);
    EXPECT_EQ(idl.aliases[0].name, "HANDLE_T");
    EXPECT_EQ(idl.aliases[0].target.name, "DWORD");

    ASSERT_EQ(idl.enums.size(), 1u);
    EXPECT_EQ(idl.enums[0].name, "E");
    const std::vector<std::pair<std::string, long long>> values = {{"A", 1}, {"B", 2}, {"C", 16}, {"D", -2}};
    EXPECT_EQ(idl.enums[0].values, values);

    ASSERT_EQ(idl.structs.size(), 1u);
    ASSERT_EQ(idl.structs[0].fields.size(), 3u);
    EXPECT_EQ(idl.structs[0].fields[1].name, "data");
    EXPECT_EQ(idl.structs[0].fields[1].type.name, "BYTE");
    EXPECT_EQ(idl.structs[0].fields[1].type.pointers, 1);

    ASSERT_EQ(idl.interfaces.size(), 2u);
    const IdlInterface& thing = idl.interfaces[0];
    EXPECT_EQ(thing.name, "IThing");
    EXPECT_EQ(thing.base, "IUnknown");
    EXPECT_EQ(thing.iid, (GUID{0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}}));
    ASSERT_EQ(thing.methods.size(), 3u);
    EXPECT_TRUE(thing.methods[0].params.empty());
    EXPECT_TRUE(thing.methods[1].params.empty());
    ASSERT_EQ(thing.methods[2].params.size(), 4u);
    EXPECT_EQ(thing.methods[2].params[1].name, "out");
    EXPECT_EQ(thing.methods[2].params[1].type.pointers, 2);
    EXPECT_EQ(idl.interfaces[1].base, "IThing");

    std::string unknown;
    const auto shapeOfParam = [&](std::size_t p) {
        const auto layout = layoutOf(idl, thing.methods[2].params[p].type, unknown);
        return layout ? describe(layout->shape) : "unknown " + unknown;
    };
    EXPECT_EQ(shapeOfParam(0), "uint32");
    EXPECT_EQ(shapeOfParam(1), "struct S**");
    EXPECT_EQ(shapeOfParam(2), "const struct GUID*");
    EXPECT_EQ(shapeOfParam(3), "struct IUnknown**");
}

// Natural alignment as on 64-bit Windows: FILETIME aligns to 4, VARIANT and pointers to 8.
TEST(OpcDaIdl, LaysStructuresOutAsWin64)
{
    const IdlParse parsed = parseIdl(R"(
typedef enum { X = 1 } E;
typedef struct { WORD w; FILETIME t; BYTE b; VARIANT v; E e; } Inner;
typedef struct { BYTE b; Inner inner; WORD* p; } Outer;
)");
    ASSERT_TRUE(parsed.idl) << parsed.error;
    std::string unknown;
    const auto inner = structLayout(*parsed.idl, parsed.idl->structs[0], unknown);
    ASSERT_TRUE(inner) << unknown;
    EXPECT_EQ(inner->offsets, (std::vector<std::size_t>{0, 4, 12, 16, 40}));
    EXPECT_EQ(inner->size, 48u);
    EXPECT_EQ(inner->align, 8u);
    const auto outer = structLayout(*parsed.idl, parsed.idl->structs[1], unknown);
    ASSERT_TRUE(outer) << unknown;
    EXPECT_EQ(outer->offsets, (std::vector<std::size_t>{0, 8, 56}));
    EXPECT_EQ(outer->size, 64u);

    const IdlParse unknownType = parseIdl("typedef struct { DWORD a; HWND w; } S;");
    ASSERT_TRUE(unknownType.idl) << unknownType.error;
    EXPECT_FALSE(structLayout(*unknownType.idl, unknownType.idl->structs[0], unknown));
    EXPECT_EQ(unknown, "HWND");
}

TEST(OpcDaIdl, RejectsTextOutsideTheSubsetWithItsLine)
{
    const std::string head = "[object, uuid(01234567-89AB-CDEF-0123-456789ABCDEF)]\n";
    struct Bad {
        std::string text;
        int line;
        const char* says;
    };
    const std::vector<Bad> bad = {
        {"typedef enum { A = 1 } E", 1, "expected ';' at the end"},
        {"import \"a.idl\";\n/* never closed", 2, "unterminated comment"},
        {"import \"a.idl;\n", 1, "unterminated string"},
        {"\n\ninterface I : IUnknown { }", 3, "expected import, typedef or an [object, uuid(...)] interface"},
        {"const DWORD X = 1;", 1, "found 'const'"},
        {"[object] interface I : IUnknown { }", 1, "needs [object, uuid(...)]"},
        {"[uuid(01234567-89AB-CDEF-0123-456789ABCDEF)] interface I : IUnknown { }", 1, "needs [object"},
        {"[object, uuid(01234567-89AB-CDEF-0123)] interface I : IUnknown { }", 1, "bad or second uuid"},
        {"[object, uuid(0123456Z-89AB-CDEF-0123-456789ABCDEF)] interface I : IUnknown { }", 1, "bad or second uuid"},
        {head + "interface I : IBase { }", 2, "IBase is neither IUnknown nor declared above"},
        {head + "interface I : IUnknown {\n  void M();\n}", 3, "expected a method returning HRESULT"},
        {head + "interface I : IUnknown {\n  HRESULT M([in] DWORD a;\n}", 3, "expected ')', found ';'"},
        {head + "interface I : IUnknown {\n  HRESULT M();\n  HRESULT M();\n}", 4, "method M twice"},
        {head + "interface I : IUnknown {\n  HRESULT M([in, size_is(n] DWORD* a);\n}", 3, "expected ')' closing"},
        {head + "interface I : IUnknown {\n  HRESULT M();", 3, "at the end of the text"},
        {"typedef enum { A = 1, A = 2 } E;", 1, "A is declared twice"},
        {"typedef enum { A = 1 } E;\ntypedef struct { DWORD a; } E;", 2, "E is declared twice"},
        {"typedef enum { A = x } E;", 1, "expected a number"},
        {"typedef enum { A = 0x1G } E;", 1, "bad number '0x1G'"},
        {"typedef enum { } E;", 1, "needs enumerators"},
        {"typedef struct { } S;", 1, "needs fields"},
        {"typedef struct {\n  DWORD a;\n  WORD a;\n} S;", 3, "field a twice"},
        {"typedef struct { DWORD a } S;", 1, "expected ';', found '}'"},
        {"typedef struct { DWORD a; } S;\n@", 2, "unexpected character '@'"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.text);
        const IdlParse parsed = parseIdl(b.text);
        EXPECT_FALSE(parsed.idl);
        EXPECT_THAT(parsed.error, HasSubstr("line " + std::to_string(b.line) + ": "));
        EXPECT_THAT(parsed.error, HasSubstr(b.says));
    }
}

} // namespace
