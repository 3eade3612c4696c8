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

Generator texts(Wave w, std::uint32_t stepMs, std::initializer_list<const WCHAR*> list)
{
    Generator g = wave(w, 0, double(list.size() - 1), stepMs);
    for (const WCHAR* t : list) g.texts.emplace_back(t);
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

Generator constantText(platform::WideStringView text)
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
            if constexpr (std::is_same_v<T, const WCHAR*>) {
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

platform::WideString text(const std::string& ascii) { return platform::WideString(ascii.begin(), ascii.end()); }

void addMotor(TreeAddressSpace& s, NodeId motors, const std::string& tag, double phase)
{
    const NodeId m = s.addBranch(motors, text(tag));
    s.addItem(m, OLESTR("Speed"), VT_R8, R, wave(Wave::Sine, 1430, 1490, 500, 60000, phase));
    s.addItem(m, OLESTR("SpeedSetpoint"), VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 1460.0; }));
    s.addItem(m, OLESTR("Current"), VT_R4, R, wave(Wave::Sine, 11.2, 13.8, 500, 45000, phase + 0.3));
    s.addItem(m, OLESTR("Running"), VT_BOOL, R, square(300000, 0.85, phase));
    s.addItem(m, OLESTR("Fault"), VT_BOOL, R, square(420000, 0.08, phase + 0.5));
    s.addItem(m, OLESTR("RunHours"), VT_UI4, R, wave(Wave::Counter, 12840, 4294967295.0, 3600));
    s.addItem(m, OLESTR("StartCount"), VT_UI2, R, wave(Wave::Counter, 317, 65535, 300000));
}

void addTank(TreeAddressSpace& s, NodeId tanks, const std::string& tag, double phase)
{
    const NodeId t = s.addBranch(tanks, text(tag));
    s.addItem(t, OLESTR("Level"), VT_R8, R, wave(Wave::Triangle, 12, 88, 1000, 600000, phase));
    s.addItem(t, OLESTR("LevelSetpoint"), VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 75.0; }));
    s.addItem(t, OLESTR("Temperature"), VT_R4, R, wave(Wave::Sine, 61.5, 64.5, 1000, 120000, phase));
    s.addItem(t, OLESTR("Pressure"), VT_R8, R, wave(Wave::Sine, 1.85, 2.15, 500, 30000, phase + 0.25));
    // The tank holds 15 m3, so the volume follows the level.
    s.addItem(t, OLESTR("Volume"), VT_R8, R, wave(Wave::Triangle, 1.8, 13.2, 1000, 600000, phase));
    s.addItem(t, OLESTR("HighLevel"), VT_BOOL, R, square(600000, 0.1, phase + 0.45, 1000));
}

void addValve(TreeAddressSpace& s, NodeId valves, const std::string& tag, double phase)
{
    const NodeId v = s.addBranch(valves, text(tag));
    s.addItem(v, OLESTR("Position"), VT_R4, R, wave(Wave::Triangle, 0, 100, 250, 40000, phase));
    s.addItem(v, OLESTR("Open"), VT_BOOL, R, square(40000, 0.5, phase + 0.25));
    // 0 closed, 1 open, 2 automatic.
    s.addItem(v, OLESTR("Command"), VT_UI1, RW, wave(Wave::Sequence, 0, 2, 20000));
}

void addLine(TreeAddressSpace& s, NodeId plant, int number, double phase)
{
    const NodeId line = s.addBranch(plant, text("Line" + std::to_string(number)));
    const std::string n = std::to_string(number);
    const NodeId motors = s.addBranch(line, OLESTR("Motors"));
    addMotor(s, motors, "M" + n + "01", phase);
    addMotor(s, motors, "M" + n + "02", phase + 0.37);
    const NodeId tanks = s.addBranch(line, OLESTR("Tanks"));
    addTank(s, tanks, "T" + n + "01", phase);
    addTank(s, tanks, "T" + n + "02", phase + 0.5);
    const NodeId valves = s.addBranch(line, OLESTR("Valves"));
    addValve(s, valves, "V" + n + "01", phase);
    addValve(s, valves, "V" + n + "02", phase + 0.2);
    addValve(s, valves, "V" + n + "03", phase + 0.6);

    const NodeId alarms = s.addBranch(line, OLESTR("Alarms"));
    s.addItem(alarms, OLESTR("ActiveCount"), VT_I2, R, wave(Wave::Random, 0, 3, 10000));
    s.addItem(alarms, OLESTR("LastMessage"), VT_BSTR, R,
              texts(Wave::Sequence, 15000,
                    {OLESTR("Tank level high"), OLESTR("Motor overload"), OLESTR("Valve position mismatch"), OLESTR("Low pressure"),
                     OLESTR("Communication restored")}));
    s.addItem(alarms, OLESTR("Acknowledged"), VT_BOOL, RW, square(30000, 0.7, phase));

    s.addItem(line, OLESTR("State"), VT_BSTR, R,
              texts(Wave::Sequence, 20000, {OLESTR("Running"), OLESTR("Running"), OLESTR("Running"), OLESTR("Stopped"), OLESTR("Cleaning"), OLESTR("Fault")}));
    s.addItem(line, OLESTR("Mode"), VT_I2, RW, constant([](VARIANT& v) { v.vt = VT_I2; v.iVal = 2; }));
    s.addItem(line, OLESTR("BatchNumber"), VT_I4, R, wave(Wave::Counter, 10230 + number * 1000, 2147483647.0, 60000));
    s.addItem(line, OLESTR("ProducedUnits"), VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 1000));
    s.addItem(line, OLESTR("ResetCounters"), VT_BOOL, W, constant([](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_FALSE; }));
}

void addPlant(TreeAddressSpace& s)
{
    const NodeId plant = s.addBranch(kit::kRootNode, OLESTR("Plant"));
    addLine(s, plant, 1, 0.0);
    addLine(s, plant, 2, 0.33);
    const NodeId energy = s.addBranch(plant, OLESTR("Energy"));
    s.addItem(energy, OLESTR("ActivePower"), VT_R8, R, wave(Wave::Random, 410, 460, 1000));
    s.addItem(energy, OLESTR("TotalEnergy"), VT_UI8, R, wave(Wave::Counter, 1099511627776.0, 9007199254740991.0, 1000));
    s.addItem(energy, OLESTR("PowerFactor"), VT_R4, R, wave(Wave::Sine, 0.91, 0.97, 2000, 180000));
    s.addItem(energy, OLESTR("Tariff"), VT_CY, R, constant([](VARIANT& v) { v.vt = VT_CY; v.cyVal.int64 = 1875; }));
}

void addWorkshop(TreeAddressSpace& s)
{
    const NodeId shop = s.addBranch(kit::kRootNode, OLESTR("Цех1"));
    s.addItem(shop, OLESTR("Температура"), VT_R8, R, wave(Wave::Sine, 18, 24, 1000, 60000));
    s.addItem(shop, OLESTR("Давление"), VT_R8, R, wave(Wave::Sine, 0.95, 1.05, 1000, 90000, 0.2));
    s.addItem(shop, OLESTR("Уровень"), VT_R4, R, wave(Wave::Triangle, 20, 80, 1000, 300000));
    s.addItem(shop, OLESTR("Состояние"), VT_BSTR, R,
              texts(Wave::Sequence, 15000, {OLESTR("Работа"), OLESTR("Работа"), OLESTR("Простой"), OLESTR("Наладка"), OLESTR("Авария")}));
    s.addItem(shop, OLESTR("Оператор"), VT_BSTR, R, constantText(OLESTR("Иванов И. И.")));
    const NodeId pump = s.addBranch(shop, OLESTR("Насос1"));
    s.addItem(pump, OLESTR("Скорость"), VT_R8, R, wave(Wave::Sine, 2900, 2980, 500, 60000));
    s.addItem(pump, OLESTR("Работа"), VT_BOOL, R, square(240000, 0.9, 0));
    s.addItem(pump, OLESTR("Задание"), VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 2950.0; }));
}

struct TypeSpec {
    const WCHAR* name;
    VARTYPE type;
    double low;
    double high;
};

// The number types of the Simulation branch with ranges that suit them.
constexpr TypeSpec kNumberTypes[] = {
    {OLESTR("Int1"), VT_I1, -100, 100},
    {OLESTR("UInt1"), VT_UI1, 0, 250},
    {OLESTR("Int2"), VT_I2, -1000, 1000},
    {OLESTR("UInt2"), VT_UI2, 0, 5000},
    {OLESTR("Int4"), VT_I4, -100000, 100000},
    {OLESTR("UInt4"), VT_UI4, 0, 1000000},
    {OLESTR("Int8"), VT_I8, -5000000000.0, 5000000000.0},
    {OLESTR("UInt8"), VT_UI8, 0, 10000000000.0},
    {OLESTR("Real4"), VT_R4, -100, 100},
    {OLESTR("Real8"), VT_R8, -1000, 1000},
    {OLESTR("Currency"), VT_CY, 0, 1000},
};

void addSimulation(TreeAddressSpace& s)
{
    const NodeId sim = s.addBranch(kit::kRootNode, OLESTR("Simulation"));

    const NodeId random = s.addBranch(sim, OLESTR("Random"));
    for (const TypeSpec& t : kNumberTypes) s.addItem(random, t.name, t.type, R, wave(Wave::Random, t.low, t.high, 1000));
    s.addItem(random, OLESTR("Boolean"), VT_BOOL, R, wave(Wave::Random, 0, 1, 1000));
    s.addItem(random, OLESTR("String"), VT_BSTR, R,
              texts(Wave::Random, 1000, {OLESTR("Alpha"), OLESTR("Bravo"), OLESTR("Charlie"), OLESTR("Delta"), OLESTR("Echo"), OLESTR("Foxtrot")}));
    // Somewhere in 2024.
    s.addItem(random, OLESTR("Date"), VT_DATE, R, wave(Wave::Random, 45292, 45657, 1000));

    const NodeId ramp = s.addBranch(sim, OLESTR("Ramp"));
    for (const TypeSpec& t : kNumberTypes) s.addItem(ramp, t.name, t.type, R, wave(Wave::Ramp, 0, t.high, 500, 60000));
    s.addItem(ramp, OLESTR("Date"), VT_DATE, R, wave(Wave::Ramp, 45292, 45657, 1000, 600000));
    s.addItem(ramp, OLESTR("String"), VT_BSTR, R, wave(Wave::Ramp, 0, 100, 1000, 60000));

    const NodeId sine = s.addBranch(sim, OLESTR("Sine"));
    s.addItem(sine, OLESTR("Real4"), VT_R4, R, wave(Wave::Sine, -100, 100, 250, 60000));
    s.addItem(sine, OLESTR("Real8"), VT_R8, R, wave(Wave::Sine, -100, 100, 250, 60000));
    s.addItem(sine, OLESTR("Int2"), VT_I2, R, wave(Wave::Sine, -1000, 1000, 250, 60000));
    s.addItem(sine, OLESTR("Int4"), VT_I4, R, wave(Wave::Sine, -100000, 100000, 250, 60000));
    s.addItem(sine, OLESTR("Currency"), VT_CY, R, wave(Wave::Sine, 90, 110, 250, 60000));
    s.addItem(sine, OLESTR("FastReal8"), VT_R8, R, wave(Wave::Sine, -1, 1, 50, 5000));

    const NodeId sq = s.addBranch(sim, OLESTR("Square"));
    s.addItem(sq, OLESTR("Boolean"), VT_BOOL, R, square(10000, 0.5, 0));
    s.addItem(sq, OLESTR("Int2"), VT_I2, R, wave(Wave::Square, 0, 100, 500, 10000));
    s.addItem(sq, OLESTR("Real8"), VT_R8, R, wave(Wave::Square, -1, 1, 500, 10000));

    const NodeId tri = s.addBranch(sim, OLESTR("Triangle"));
    s.addItem(tri, OLESTR("Real8"), VT_R8, R, wave(Wave::Triangle, 0, 100, 250, 20000));
    s.addItem(tri, OLESTR("Int4"), VT_I4, R, wave(Wave::Triangle, 0, 1000, 250, 20000));

    const NodeId counter = s.addBranch(sim, OLESTR("Counter"));
    s.addItem(counter, OLESTR("Int1"), VT_I1, R, wave(Wave::Counter, -128, 127, 1000));
    s.addItem(counter, OLESTR("UInt1"), VT_UI1, R, wave(Wave::Counter, 0, 255, 1000));
    s.addItem(counter, OLESTR("Int2"), VT_I2, R, wave(Wave::Counter, -32768, 32767, 1000));
    s.addItem(counter, OLESTR("UInt2"), VT_UI2, R, wave(Wave::Counter, 0, 65535, 1000));
    s.addItem(counter, OLESTR("Int4"), VT_I4, R, wave(Wave::Counter, 0, 2147483647.0, 1000));
    s.addItem(counter, OLESTR("UInt4"), VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 1000));
    // Past 32 bits from the start, so that a client cutting 64-bit values short shows it.
    s.addItem(counter, OLESTR("Int8"), VT_I8, R, wave(Wave::Counter, -1099511627776.0, 1099511627776.0, 1000));
    s.addItem(counter, OLESTR("UInt8"), VT_UI8, R, wave(Wave::Counter, 4294967296.0, 9007199254740991.0, 1000));
    s.addItem(counter, OLESTR("Fast"), VT_UI4, R, wave(Wave::Counter, 0, 4294967295.0, 100));

    const NodeId clock = s.addBranch(sim, OLESTR("Clock"));
    s.addItem(clock, OLESTR("LocalTime"), VT_DATE, R, wave(Wave::Clock, 0, 0, 1000));
    s.addItem(clock, OLESTR("LocalTimeText"), VT_BSTR, R, wave(Wave::Clock, 0, 0, 1000));
    s.addItem(clock, OLESTR("Second"), VT_UI1, R, wave(Wave::Clock, 0, 0, 1000));

    const NodeId fixed = s.addBranch(sim, OLESTR("Static"));
    s.addItem(fixed, OLESTR("Int1"), VT_I1, RW, constant([](VARIANT& v) { v.vt = VT_I1; v.cVal = -128; }));
    s.addItem(fixed, OLESTR("UInt1"), VT_UI1, RW, constant([](VARIANT& v) { v.vt = VT_UI1; v.bVal = 255; }));
    s.addItem(fixed, OLESTR("Int2"), VT_I2, RW, constant([](VARIANT& v) { v.vt = VT_I2; v.iVal = -32768; }));
    s.addItem(fixed, OLESTR("UInt2"), VT_UI2, RW, constant([](VARIANT& v) { v.vt = VT_UI2; v.uiVal = 65535; }));
    s.addItem(fixed, OLESTR("Int4"), VT_I4, RW, constant([](VARIANT& v) { v.vt = VT_I4; v.lVal = INT32_MIN; }));
    s.addItem(fixed, OLESTR("UInt4"), VT_UI4, RW, constant([](VARIANT& v) { v.vt = VT_UI4; v.ulVal = UINT32_MAX; }));
    s.addItem(fixed, OLESTR("Int8"), VT_I8, RW, constant([](VARIANT& v) { v.vt = VT_I8; v.llVal = INT64_MIN; }));
    s.addItem(fixed, OLESTR("UInt8"), VT_UI8, RW, constant([](VARIANT& v) { v.vt = VT_UI8; v.ullVal = UINT64_MAX; }));
    s.addItem(fixed, OLESTR("Real4"), VT_R4, RW, constant([](VARIANT& v) { v.vt = VT_R4; v.fltVal = 3.14159f; }));
    s.addItem(fixed, OLESTR("Real8"), VT_R8, RW, constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 2.718281828459045; }));
    s.addItem(fixed, OLESTR("Boolean"), VT_BOOL, RW, constant([](VARIANT& v) { v.vt = VT_BOOL; v.boolVal = VARIANT_TRUE; }));
    s.addItem(fixed, OLESTR("String"), VT_BSTR, RW, constantText(OLESTR("Tagvista")));
    s.addItem(fixed, OLESTR("EmptyString"), VT_BSTR, RW, constantText(OLESTR("")));
    s.addItem(fixed, OLESTR("CyrillicString"), VT_BSTR, RW, constantText(OLESTR("Привет, мир")));
    // 2000-01-01 12:00 local time.
    s.addItem(fixed, OLESTR("Date"), VT_DATE, RW, constant([](VARIANT& v) { v.vt = VT_DATE; v.date = 36526.5; }));
    s.addItem(fixed, OLESTR("Currency"), VT_CY, RW, constant([](VARIANT& v) { v.vt = VT_CY; v.cyVal.int64 = 12345678; }));
    s.addItem(fixed, OLESTR("Int2Array"), VT_ARRAY | VT_I2, RW, constantArray<SHORT>(VT_I2, {1, 2, 3, -4, 32767}));
    s.addItem(fixed, OLESTR("Real8Array"), VT_ARRAY | VT_R8, RW, constantArray<double>(VT_R8, {0.5, -1.25, 1e10}));
    s.addItem(fixed, OLESTR("StringArray"), VT_ARRAY | VT_BSTR, RW,
              constantArray<const WCHAR*>(VT_BSTR, {OLESTR("Alpha"), OLESTR(""), OLESTR("Омега")}));

    const NodeId arrays = s.addBranch(sim, OLESTR("Arrays"));
    s.addItem(arrays, OLESTR("Int2Waveform"), VT_ARRAY | VT_I2, R, arrayOf(wave(Wave::Sine, -1000, 1000, 500, 10000), 10));
    s.addItem(arrays, OLESTR("Real8Spectrum"), VT_ARRAY | VT_R8, R, arrayOf(wave(Wave::Random, 0, 1, 1000), 8));
    s.addItem(arrays, OLESTR("StringList"), VT_ARRAY | VT_BSTR, R,
              arrayOf(texts(Wave::Sequence, 2000, {OLESTR("Mixing"), OLESTR("Heating"), OLESTR("Holding"), OLESTR("Cooling"), OLESTR("Draining")}), 4));

    const NodeId quality = s.addBranch(sim, OLESTR("Quality"));
    {
        Generator g = wave(Wave::Random, 0, 100, 2000);
        g.qualityCycle = allQualities();
        s.addItem(quality, OLESTR("Cycling"), VT_R8, R, g);
        g.emptyWhenBad = true;
        s.addItem(quality, OLESTR("CyclingNoValueWhenBad"), VT_R8, R, g);
    }
    s.addItem(quality, OLESTR("LocalOverride"), VT_I4, R,
              constant([](VARIANT& v) { v.vt = VT_I4; v.lVal = 5; }, OPC_QUALITY_LOCAL_OVERRIDE));
    s.addItem(quality, OLESTR("SensorCalibration"), VT_R8, R,
              constant([](VARIANT& v) { v.vt = VT_R8; v.dblVal = 99.9; }, OPC_QUALITY_SENSOR_CAL));
    s.addItem(quality, OLESTR("NotConnected"), VT_R8, R, constant([](VARIANT&) {}, OPC_QUALITY_NOT_CONNECTED));
    s.addItem(quality, OLESTR("LastKnown"), VT_R4, R,
              constant([](VARIANT& v) { v.vt = VT_R4; v.fltVal = 42.5f; }, OPC_QUALITY_LAST_KNOWN));
    s.addItem(quality, OLESTR("HighLimit"), VT_I2, R,
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
