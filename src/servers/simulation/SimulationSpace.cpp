#include "servers/simulation/SimulationSpace.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace servers::simulation {

using kit::Generator;
using kit::ItemRef;
using kit::NodeId;
using kit::TreeAddressSpace;
using kit::Wave;

namespace {

constexpr DWORD R = OPC_READABLE;
constexpr DWORD RW = OPC_READABLE | OPC_WRITEABLE;
constexpr DWORD W = OPC_WRITEABLE;

Generator wave(Wave w, double low, double high, std::uint32_t stepMs, std::uint32_t cycleMs = 60000, double phase = 0)
{
    Generator g;
    g.wave = w;
    g.low = low;
    g.high = high;
    g.stepMs = stepMs;
    g.cycleMs = cycleMs;
    g.phase = phase;
    return g;
}

Generator square(std::uint32_t cycleMs, double duty, double phase, std::uint32_t stepMs = 500)
{
    Generator g = wave(Wave::Square, 0, 1, stepMs, cycleMs, phase);
    g.duty = duty;
    return g;
}

Generator texts(Wave w, std::uint32_t stepMs, std::initializer_list<const char16_t*> list)
{
    Generator g = wave(w, 0, double(list.size() - 1), stepMs);
    for (const char16_t* t : list) g.texts.emplace_back(t);
    return g;
}

// A value that never changes. The setter fills a VARIANT that VariantInit has emptied.
template <class Set>
Generator constant(Set set, WORD quality = OPC_QUALITY_GOOD)
{
    Generator g;
    g.wave = Wave::Constant;
    set(*g.constant.get());
    g.quality = quality;
    return g;
}

Generator constantText(std::u16string_view text)
{
    return constant([text](VARIANT& v) {
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    });
}

template <class T>
Generator constantArray(VARTYPE element, std::initializer_list<T> values)
{
    return constant([element, values](VARIANT& v) {
        SAFEARRAY* psa = SafeArrayCreateVector(element, 0, static_cast<ULONG>(values.size()));
        if (!psa) return;
        LONG index = 0;
        for (T value : values) {
            if constexpr (std::is_same_v<T, const char16_t*>) {
                BSTR s = SysAllocString(value);
                SafeArrayPutElement(psa, &index, s);
                SysFreeString(s);
            } else {
                SafeArrayPutElement(psa, &index, &value);
            }
            ++index;
        }
        v.vt = VT_ARRAY | element;
        v.parray = psa;
    });
}

Generator arrayOf(Generator g, std::uint32_t length)
{
    g.arrayLength = length;
    return g;
}

// Every quality a client should know how to show, one per step.
const std::vector<WORD>& allQualities()
{
    static const std::vector<WORD> q = {
        OPC_QUALITY_GOOD,
        OPC_QUALITY_LOCAL_OVERRIDE,
        OPC_QUALITY_GOOD | OPC_LIMIT_LOW,
        OPC_QUALITY_GOOD | OPC_LIMIT_HIGH,
        OPC_QUALITY_GOOD | OPC_LIMIT_CONST,
        OPC_QUALITY_UNCERTAIN,
        OPC_QUALITY_LAST_USABLE,
        OPC_QUALITY_SENSOR_CAL,
        OPC_QUALITY_EGU_EXCEEDED,
        OPC_QUALITY_SUB_NORMAL,
        OPC_QUALITY_BAD,
        OPC_QUALITY_CONFIG_ERROR,
        OPC_QUALITY_NOT_CONNECTED,
        OPC_QUALITY_DEVICE_FAILURE,
        OPC_QUALITY_SENSOR_FAILURE,
        OPC_QUALITY_LAST_KNOWN,
        OPC_QUALITY_COMM_FAILURE,
        OPC_QUALITY_OUT_OF_SERVICE,
        OPC_QUALITY_WAITING_FOR_INITIAL_DATA,
    };
    return q;
}

std::u16string text(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

void addMotor(TreeAddressSpace& s, NodeId motors, const std::string& tag, double phase)
{
    const NodeId m = s.addBranch(motors, text(tag));
    s.addItem(m, u"Speed", VT_R8, R, wave(Wave::Sine, 1430, 1490, 500, 60000, phase));
    s.addItem(m, u"SpeedSetpoint", VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 1460.0; }));
    s.addItem(m, u"Current", VT_R4, R, wave(Wave::Sine, 11.2, 13.8, 500, 45000, phase + 0.3));
    s.addItem(m, u"Running", VT_BOOL, R, square(300000, 0.85, phase));
    s.addItem(m, u"Fault", VT_BOOL, R, square(420000, 0.08, phase + 0.5));
    s.addItem(m, u"RunHours", VT_UI4, R, wave(Wave::Counter, 12840, 4294967295.0, 3600));
    s.addItem(m, u"StartCount", VT_UI2, R, wave(Wave::Counter, 317, 65535, 300000));
}

void addTank(TreeAddressSpace& s, NodeId tanks, const std::string& tag, double phase)
{
    const NodeId t = s.addBranch(tanks, text(tag));
    s.addItem(t, u"Level", VT_R8, R, wave(Wave::Triangle, 12, 88, 1000, 600000, phase));
    s.addItem(t, u"LevelSetpoint", VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 75.0; }));
    s.addItem(t, u"Temperature", VT_R4, R, wave(Wave::Sine, 61.5, 64.5, 1000, 120000, phase));
    s.addItem(t, u"Pressure", VT_R8, R, wave(Wave::Sine, 1.85, 2.15, 500, 30000, phase + 0.25));
    // The tank holds 15 m3, so the volume follows the level.
    s.addItem(t, u"Volume", VT_R8, R, wave(Wave::Triangle, 1.8, 13.2, 1000, 600000, phase));
    s.addItem(t, u"HighLevel", VT_BOOL, R, square(600000, 0.1, phase + 0.45, 1000));
}

void addValve(TreeAddressSpace& s, NodeId valves, const std::string& tag, double phase)
{
    const NodeId v = s.addBranch(valves, text(tag));
    s.addItem(v, u"Position", VT_R4, R, wave(Wave::Triangle, 0, 100, 250, 40000, phase));
    s.addItem(v, u"Open", VT_BOOL, R, square(40000, 0.5, phase + 0.25));
    // 0 closed, 1 open, 2 automatic.
    s.addItem(v, u"Command", VT_UI1, RW, wave(Wave::Sequence, 0, 2, 20000));
}

void addLine(TreeAddressSpace& s, NodeId plant, int number, double phase)
{
    const NodeId line = s.addBranch(plant, text("Line" + std::to_string(number)));
    const std::string n = std::to_string(number);
    const NodeId motors = s.addBranch(line, u"Motors");
    addMotor(s, motors, "M" + n + "01", phase);
    addMotor(s, motors, "M" + n + "02", phase + 0.37);
    const NodeId tanks = s.addBranch(line, u"Tanks");
    addTank(s, tanks, "T" + n + "01", phase);
    addTank(s, tanks, "T" + n + "02", phase + 0.5);
    const NodeId valves = s.addBranch(line, u"Valves");
    addValve(s, valves, "V" + n + "01", phase);
    addValve(s, valves, "V" + n + "02", phase + 0.2);
    addValve(s, valves, "V" + n + "03", phase + 0.6);

    const NodeId alarms = s.addBranch(line, u"Alarms");
    s.addItem(alarms, u"ActiveCount", VT_I2, R, wave(Wave::Random, 0, 3, 10000));
    s.addItem(alarms, u"LastMessage", VT_BSTR, R,
              texts(Wave::Sequence, 15000,
                    {u"Tank level high", u"Motor overload", u"Valve position mismatch", u"Low pressure",
                     u"Communication restored"}));
    s.addItem(alarms, u"Acknowledged", VT_BOOL, RW, square(30000, 0.7, phase));

    s.addItem(line, u"State", VT_BSTR, R,
              texts(Wave::Sequence, 20000, {u"Running", u"Running", u"Running", u"Stopped", u"Cleaning", u"Fault"}));
    s.addItem(line, u"Mode", VT_I2, RW, constant([](VARIANT& v) { v.vt = VT_I2; v.iVal = 2; }));
    s.addItem(line, u"BatchNumber", VT_I4, R, wave(Wave::Counter, 10230 + number * 1000, 2147483647.0, 60000));
    s.addItem(line, u"ProducedUnits", VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 1000));
    s.addItem(line, u"ResetCounters", VT_BOOL, W, constant([](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_FALSE; }));
}

void addPlant(TreeAddressSpace& s)
{
    const NodeId plant = s.addBranch(kit::kRootNode, u"Plant");
    addLine(s, plant, 1, 0.0);
    addLine(s, plant, 2, 0.33);
    const NodeId energy = s.addBranch(plant, u"Energy");
    s.addItem(energy, u"ActivePower", VT_R8, R, wave(Wave::Random, 410, 460, 1000));
    s.addItem(energy, u"TotalEnergy", VT_UI8, R, wave(Wave::Counter, 1099511627776.0, 9007199254740991.0, 1000));
    s.addItem(energy, u"PowerFactor", VT_R4, R, wave(Wave::Sine, 0.91, 0.97, 2000, 180000));
    s.addItem(energy, u"Tariff", VT_CY, R, constant([](VARIANT& v) { v.vt = VT_CY; v.cyVal.int64 = 1875; }));
}

void addWorkshop(TreeAddressSpace& s)
{
    const NodeId shop = s.addBranch(kit::kRootNode, u"Цех1");
    s.addItem(shop, u"Температура", VT_R8, R, wave(Wave::Sine, 18, 24, 1000, 60000));
    s.addItem(shop, u"Давление", VT_R8, R, wave(Wave::Sine, 0.95, 1.05, 1000, 90000, 0.2));
    s.addItem(shop, u"Уровень", VT_R4, R, wave(Wave::Triangle, 20, 80, 1000, 300000));
    s.addItem(shop, u"Состояние", VT_BSTR, R,
              texts(Wave::Sequence, 15000, {u"Работа", u"Работа", u"Простой", u"Наладка", u"Авария"}));
    s.addItem(shop, u"Оператор", VT_BSTR, R, constantText(u"Иванов И. И."));
    const NodeId pump = s.addBranch(shop, u"Насос1");
    s.addItem(pump, u"Скорость", VT_R8, R, wave(Wave::Sine, 2900, 2980, 500, 60000));
    s.addItem(pump, u"Работа", VT_BOOL, R, square(240000, 0.9, 0));
    s.addItem(pump, u"Задание", VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 2950.0; }));
}

struct TypeSpec {
    const char16_t* name;
    VARTYPE type;
    double low;
    double high;
};

// The number types of the Simulation branch with ranges that suit them.
constexpr TypeSpec kNumberTypes[] = {
    {u"Int1", VT_I1, -100, 100},
    {u"UInt1", VT_UI1, 0, 250},
    {u"Int2", VT_I2, -1000, 1000},
    {u"UInt2", VT_UI2, 0, 5000},
    {u"Int4", VT_I4, -100000, 100000},
    {u"UInt4", VT_UI4, 0, 1000000},
    {u"Int8", VT_I8, -5000000000.0, 5000000000.0},
    {u"UInt8", VT_UI8, 0, 10000000000.0},
    {u"Real4", VT_R4, -100, 100},
    {u"Real8", VT_R8, -1000, 1000},
    {u"Currency", VT_CY, 0, 1000},
};

void addSimulation(TreeAddressSpace& s)
{
    const NodeId sim = s.addBranch(kit::kRootNode, u"Simulation");

    const NodeId random = s.addBranch(sim, u"Random");
    for (const TypeSpec& t : kNumberTypes) s.addItem(random, t.name, t.type, R, wave(Wave::Random, t.low, t.high, 1000));
    s.addItem(random, u"Boolean", VT_BOOL, R, wave(Wave::Random, 0, 1, 1000));
    s.addItem(random, u"String", VT_BSTR, R,
              texts(Wave::Random, 1000, {u"Alpha", u"Bravo", u"Charlie", u"Delta", u"Echo", u"Foxtrot"}));
    // Somewhere in 2024.
    s.addItem(random, u"Date", VT_DATE, R, wave(Wave::Random, 45292, 45657, 1000));

    const NodeId ramp = s.addBranch(sim, u"Ramp");
    for (const TypeSpec& t : kNumberTypes) s.addItem(ramp, t.name, t.type, R, wave(Wave::Ramp, 0, t.high, 500, 60000));
    s.addItem(ramp, u"Date", VT_DATE, R, wave(Wave::Ramp, 45292, 45657, 1000, 600000));
    s.addItem(ramp, u"String", VT_BSTR, R, wave(Wave::Ramp, 0, 100, 1000, 60000));

    const NodeId sine = s.addBranch(sim, u"Sine");
    s.addItem(sine, u"Real4", VT_R4, R, wave(Wave::Sine, -100, 100, 250, 60000));
    s.addItem(sine, u"Real8", VT_R8, R, wave(Wave::Sine, -100, 100, 250, 60000));
    s.addItem(sine, u"Int2", VT_I2, R, wave(Wave::Sine, -1000, 1000, 250, 60000));
    s.addItem(sine, u"Int4", VT_I4, R, wave(Wave::Sine, -100000, 100000, 250, 60000));
    s.addItem(sine, u"Currency", VT_CY, R, wave(Wave::Sine, 90, 110, 250, 60000));
    s.addItem(sine, u"FastReal8", VT_R8, R, wave(Wave::Sine, -1, 1, 50, 5000));

    const NodeId sq = s.addBranch(sim, u"Square");
    s.addItem(sq, u"Boolean", VT_BOOL, R, square(10000, 0.5, 0));
    s.addItem(sq, u"Int2", VT_I2, R, wave(Wave::Square, 0, 100, 500, 10000));
    s.addItem(sq, u"Real8", VT_R8, R, wave(Wave::Square, -1, 1, 500, 10000));

    const NodeId tri = s.addBranch(sim, u"Triangle");
    s.addItem(tri, u"Real8", VT_R8, R, wave(Wave::Triangle, 0, 100, 250, 20000));
    s.addItem(tri, u"Int4", VT_I4, R, wave(Wave::Triangle, 0, 1000, 250, 20000));

    const NodeId counter = s.addBranch(sim, u"Counter");
    s.addItem(counter, u"Int1", VT_I1, R, wave(Wave::Counter, -128, 127, 1000));
    s.addItem(counter, u"UInt1", VT_UI1, R, wave(Wave::Counter, 0, 255, 1000));
    s.addItem(counter, u"Int2", VT_I2, R, wave(Wave::Counter, -32768, 32767, 1000));
    s.addItem(counter, u"UInt2", VT_UI2, R, wave(Wave::Counter, 0, 65535, 1000));
    s.addItem(counter, u"Int4", VT_I4, R, wave(Wave::Counter, 0, 2147483647.0, 1000));
    s.addItem(counter, u"UInt4", VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 1000));
    // Past 32 bits from the start, so that a client cutting 64-bit values short shows it.
    s.addItem(counter, u"Int8", VT_I8, R, wave(Wave::Counter, -1099511627776.0, 1099511627776.0, 1000));
    s.addItem(counter, u"UInt8", VT_UI8, R, wave(Wave::Counter, 4294967296.0, 9007199254740991.0, 1000));
    s.addItem(counter, u"Fast", VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 100));

    const NodeId clock = s.addBranch(sim, u"Clock");
    s.addItem(clock, u"LocalTime", VT_DATE, R, wave(Wave::Clock, 0, 0, 1000));
    s.addItem(clock, u"LocalTimeText", VT_BSTR, R, wave(Wave::Clock, 0, 0, 1000));
    s.addItem(clock, u"Second", VT_UI1, R, wave(Wave::Clock, 0, 0, 1000));

    const NodeId fixed = s.addBranch(sim, u"Static");
    s.addItem(fixed, u"Int1", VT_I1, RW, constant([](VARIANT& v) { v.vt = VT_I1; v.cVal = -128; }));
    s.addItem(fixed, u"UInt1", VT_UI1, RW, constant([](VARIANT& v) { v.vt = VT_UI1; v.bVal = 255; }));
    s.addItem(fixed, u"Int2", VT_I2, RW, constant([](VARIANT& v) { v.vt = VT_I2; v.iVal = -32768; }));
    s.addItem(fixed, u"UInt2", VT_UI2, RW, constant([](VARIANT& v) { v.vt = VT_UI2; v.uiVal = 65535; }));
    s.addItem(fixed, u"Int4", VT_I4, RW, constant([](VARIANT& v) { v.vt = VT_I4; v.lVal = INT32_MIN; }));
    s.addItem(fixed, u"UInt4", VT_UI4, RW, constant([](VARIANT& v) { v.vt = VT_UI4; v.ulVal = UINT32_MAX; }));
    s.addItem(fixed, u"Int8", VT_I8, RW, constant([](VARIANT& v) { v.vt = VT_I8; v.llVal = INT64_MIN; }));
    s.addItem(fixed, u"UInt8", VT_UI8, RW, constant([](VARIANT& v) { v.vt = VT_UI8; v.ullVal = UINT64_MAX; }));
    s.addItem(fixed, u"Real4", VT_R4, RW, constant([](VARIANT& v) { v.vt = VT_R4; v.fltVal = 3.14159f; }));
    s.addItem(fixed, u"Real8", VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 2.718281828459045; }));
    s.addItem(fixed, u"Boolean", VT_BOOL, RW, constant([](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE; }));
    s.addItem(fixed, u"String", VT_BSTR, RW, constantText(u"Tagvista"));
    s.addItem(fixed, u"EmptyString", VT_BSTR, RW, constantText(u""));
    s.addItem(fixed, u"CyrillicString", VT_BSTR, RW, constantText(u"Привет, мир"));
    // 2000-01-01 12:00 local time.
    s.addItem(fixed, u"Date", VT_DATE, RW, constant([](VARIANT& v) { v.vt = VT_DATE; v.date = 36526.5; }));
    s.addItem(fixed, u"Currency", VT_CY, RW, constant([](VARIANT& v) { v.vt = VT_CY; v.cyVal.int64 = 12345678; }));
    s.addItem(fixed, u"Int2Array", VT_ARRAY | VT_I2, RW, constantArray<SHORT>(VT_I2, {1, 2, 3, -4, 32767}));
    s.addItem(fixed, u"Real8Array", VT_ARRAY | VT_R8, RW, constantArray<double>(VT_R8, {0.5, -1.25, 1e10}));
    s.addItem(fixed, u"StringArray", VT_ARRAY | VT_BSTR, RW,
              constantArray<const char16_t*>(VT_BSTR, {u"Alpha", u"", u"Омега"}));

    const NodeId arrays = s.addBranch(sim, u"Arrays");
    s.addItem(arrays, u"Int2Waveform", VT_ARRAY | VT_I2, R, arrayOf(wave(Wave::Sine, -1000, 1000, 500, 10000), 10));
    s.addItem(arrays, u"Real8Spectrum", VT_ARRAY | VT_R8, R, arrayOf(wave(Wave::Random, 0, 1, 1000), 8));
    s.addItem(arrays, u"StringList", VT_ARRAY | VT_BSTR, R,
              arrayOf(texts(Wave::Sequence, 2000, {u"Mixing", u"Heating", u"Holding", u"Cooling", u"Draining"}), 4));

    const NodeId quality = s.addBranch(sim, u"Quality");
    {
        Generator g = wave(Wave::Random, 0, 100, 2000);
        g.qualityCycle = allQualities();
        s.addItem(quality, u"Cycling", VT_R8, R, g);
        g.emptyWhenBad = true;
        s.addItem(quality, u"CyclingNoValueWhenBad", VT_R8, R, g);
    }
    s.addItem(quality, u"LocalOverride", VT_I4, R,
              constant([](VARIANT& v) { v.vt = VT_I4; v.lVal = 5; }, OPC_QUALITY_LOCAL_OVERRIDE));
    s.addItem(quality, u"SensorCalibration", VT_R8, R,
              constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 99.9; }, OPC_QUALITY_SENSOR_CAL));
    s.addItem(quality, u"NotConnected", VT_R8, R, constant([](VARIANT&) {}, OPC_QUALITY_NOT_CONNECTED));
    s.addItem(quality, u"LastKnown", VT_R4, R,
              constant([](VARIANT& v) { v.vt = VT_R4; v.fltVal = 42.5f; }, OPC_QUALITY_LAST_KNOWN));
    s.addItem(quality, u"HighLimit", VT_I2, R,
              constant([](VARIANT& v) { v.vt = VT_I2; v.iVal = 100; }, OPC_QUALITY_GOOD | OPC_LIMIT_HIGH));
}

} // namespace

std::shared_ptr<TreeAddressSpace> buildSimulationSpace()
{
    auto s = std::make_shared<TreeAddressSpace>();
    addPlant(*s);
    addWorkshop(*s);
    addSimulation(*s);
    return s;
}

} // namespace servers::simulation
