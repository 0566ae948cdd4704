// Writes the bundle's Turtle files from the port table and the parameter
// catalogue: manifest.ttl, quorvex.ttl (both plug-in variants with every port,
// range and unit) and presets.ttl (the ten factory presets as host presets).
// Usage: quorvex_lv2_ttl OUTPUT_DIRECTORY BINARY_NAME
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/coefficient_update.h"
#include "engine/stage_setups.h"
#include "lv2/ports.h"
#include "params/preset_library.h"
#include "platform/platform.h"

namespace qx::lv2 {
namespace {

const char* const kPrefixes =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work:  <http://lv2plug.in/ns/ext/worker#> .\n\n";

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* unitOf(Unit unit) {
    switch (unit) {
    case Unit::Decibel: return "units:db";
    case Unit::Percent: return "units:pc";
    case Unit::Frame: return "units:frame";
    case Unit::None: break;
    }
    return nullptr;
}

struct Presets {
    DataDirectory directory{systemPlatform()};
    PresetLibrary library{directory};
    std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
    ParameterTable table = buildParameterTable(*state);
    Presets() {
        library.scanLibrary();
        library.bind(&table, state.get(), &updateCoefficients);
        designAtStartup(*state);
    }
};

std::string controlPorts(Presets& presets) {
    presets.library.loadPreset(0);  // the ports' defaults are F1's values
    std::ostringstream out;
    for (uint32_t i = 0; i < kControlPortCount; ++i) {
        const ControlPort& port = kControlPorts[i];
        const bool input = port.kind == PortKind::Preset || port.kind == PortKind::Parameter;
        out << "    [\n        a lv2:" << (input ? "InputPort" : "OutputPort") << " , lv2:ControlPort ;\n"
            << "        lv2:index " << i << " ;\n        lv2:symbol \"" << port.symbol << "\" ;\n"
            << "        lv2:name \"" << port.name << "\" ;\n";
        double minimum = port.minimum;
        double maximum = port.maximum;
        double value = 0.0;
        if (port.kind == PortKind::Parameter) {
            const ParameterRecord* record = presets.table.find(port.key);
            value = record->value();
            if (record->kind != ControlKind::Switch) {
                minimum = record->minimum;
                maximum = record->maximum;
            } else {
                out << "        lv2:portProperty lv2:toggled ;\n";
            }
        }
        if (port.kind == PortKind::Preset) {
            out << "        lv2:portProperty lv2:integer , lv2:enumeration ;\n";
            for (PresetId id = 0; id >= -9; --id)
                out << "        lv2:scalePoint [ rdfs:label " << quoted(presets.library.presetLabel(id) + " " +
                                                                   std::string(presets.library.factoryName(-id)))
                    << " ; rdf:value " << number(id) << " ] ;\n";
            for (PresetId id = 1; id <= kUserSlotCount; ++id) {
                char label[32];
                std::snprintf(label, sizeof label, "User %.2d", id);
                out << "        lv2:scalePoint [ rdfs:label \"" << label << "\" ; rdf:value " << number(id) << " ] ;\n";
            }
        }
        if (port.kind == PortKind::Latency)
            out << "        lv2:designation lv2:latency ;\n        lv2:portProperty lv2:reportsLatency , lv2:integer ;\n";
        if (const char* unit = unitOf(port.unit)) out << "        units:unit " << unit << " ;\n";
        if (input) out << "        lv2:default " << number(value) << " ;\n";
        out << "        lv2:minimum " << number(minimum) << " ;\n        lv2:maximum " << number(maximum) << "\n    ] ,\n";
    }
    return out.str();
}

std::string audioPorts(int channels) {
    const char* stereo[] = {"in_l", "Input Left", "in_r", "Input Right", "out_l", "Output Left", "out_r", "Output Right"};
    const char* mono[] = {"in", "Input", "out", "Output"};
    const char** names = channels == 2 ? stereo : mono;
    std::ostringstream out;
    for (int i = 0; i < 2 * channels; ++i) {
        out << "    [\n        a lv2:AudioPort , lv2:" << (i < channels ? "InputPort" : "OutputPort") << " ;\n"
            << "        lv2:index " << kFirstAudioPort + i << " ;\n        lv2:symbol \"" << names[2 * i]
            << "\" ;\n        lv2:name \"" << names[2 * i + 1] << "\"\n    ]" << (i + 1 < 2 * channels ? " ,\n" : " .\n");
    }
    return out.str();
}

std::string pluginDescription(Presets& presets) {
    std::ostringstream out;
    out << kPrefixes;
    const std::string controls = controlPorts(presets);
    for (int channels : {2, 1}) {
        out << "<" << (channels == 2 ? kStereoUri : kMonoUri) << ">\n    a lv2:Plugin , lv2:DynamicsPlugin ;\n"
            << "    doap:name \"Quorvex" << (channels == 2 ? "" : " (mono)") << "\" ;\n"
            << "    rdfs:comment \"Broadcast-style audio processor: highpass, stereo image, two-band AGC, "
               "equalizers, ten-band multiband processor, final limiter, clipper, lowpass.\" ;\n"
            << "    lv2:optionalFeature lv2:hardRTCapable , urid:map , work:schedule ;\n"
            << "    lv2:extensionData state:interface , work:interface ;\n"
            << "    lv2:port\n" << controls << audioPorts(channels) << "\n";
    }
    return out.str();
}

std::string presetDescription(Presets& presets) {
    std::ostringstream out;
    out << kPrefixes;
    for (int n = 0; n < kFactoryPresetCount; ++n) {
        presets.library.loadPreset(-n);
        SettingsDocument document;
        presets.library.composePreset(document, 0);
        out << "<" << kStereoUri << "#preset-F" << n + 1 << ">\n    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << kStereoUri << "> , <" << kMonoUri << "> ;\n"
            << "    rdfs:label " << quoted(PresetLibrary::presetLabel(-n) + " " + std::string(presets.library.factoryName(n)))
            << " ;\n    lv2:port [ lv2:symbol \"preset\" ; pset:value " << number(-n) << " ] ;\n"
            << "    state:state [ <" << kSettingsUri << "> " << quoted(document.text()) << " ] .\n\n";
    }
    return out.str();
}

std::string manifest(const std::string& binary) {
    std::ostringstream out;
    out << kPrefixes;
    for (const char* uri : {kStereoUri, kMonoUri})
        out << "<" << uri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << binary << "> ;\n"
            << "    rdfs:seeAlso <quorvex.ttl> .\n\n";
    for (int n = 1; n <= kFactoryPresetCount; ++n)
        out << "<" << kStereoUri << "#preset-F" << n << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << kStereoUri
            << "> , <" << kMonoUri << "> ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
    return out.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file);
}

}  // namespace
}  // namespace qx::lv2

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorvex_lv2_ttl OUTPUT_DIRECTORY BINARY_NAME\n");
        return 2;
    }
    using namespace qx::lv2;
    const std::string dir = argv[1];
    Presets presets;
    const bool ok = writeFile(dir + "/manifest.ttl", manifest(argv[2])) &&
                    writeFile(dir + "/quorvex.ttl", pluginDescription(presets)) &&
                    writeFile(dir + "/presets.ttl", presetDescription(presets));
    return ok ? 0 : 1;
}
