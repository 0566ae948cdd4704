// The tool as a file and stream processor: aligned output, any rate, pipes
// with sox and ffmpeg, a producer that pauses, live preset switching.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "cli/audio_file.h"
#include "cli/loudness.h"
#include "tests/cli/cli_test_support.h"

namespace qx::cli {
namespace {

constexpr double kPi = 3.141592653589793;

class StreamTest : public CliTest {
protected:
    Audio load(const std::string& name) {
        Audio a;
        EXPECT_EQ(readAudio(path(name), a).status, IoStatus::Ok) << name;
        return a;
    }
    // Runs a shell command line in the test's directory; returns its exit status.
    int shell(const std::string& command) {
        std::ofstream(path("command.sh")) << "set -o pipefail\ncd '" << dir.string() << "' || exit 99\n"
                                          << command << "\n";
        const int status = std::system(("bash '" + path("command.sh") + "'").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string tool() { return QX_TOOL_PATH; }
    std::string text(const std::string& name) {
        std::ifstream file(path(name));
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
};

// A sine of `frequency` at `dbfs`, the same on every channel.
std::vector<int16_t> tone(int frames, int channels, int rate, double frequency, double dbfs) {
    std::vector<int16_t> s;
    const double amplitude = std::pow(10.0, dbfs / 20.0) * 32767.0;
    for (int n = 0; n < frames; ++n)
        for (int c = 0; c < channels; ++c)
            s.push_back(static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * kPi * frequency * n / rate))));
    return s;
}

// A Hann-windowed 2 kHz burst of 2 ms: short, so its correlation peak is sharp.
std::vector<double> burst(int rate) {
    std::vector<double> b(static_cast<size_t>(rate / 500));
    for (size_t k = 0; k < b.size(); ++k)
        b[k] = 0.5 * (1.0 - std::cos(2.0 * kPi * k / (b.size() - 1))) * std::sin(2.0 * kPi * 2000.0 * k / rate);
    return b;
}

// Where the burst sits in channel 0: the peak of the cross-correlation.
int64_t burstPosition(const Audio& a, const std::vector<double>& b) {
    int64_t best = -1;
    double bestValue = 0.0;
    for (int64_t p = 0; p + static_cast<int64_t>(b.size()) <= a.frames(); ++p) {
        double sum = 0.0;
        for (size_t k = 0; k < b.size(); ++k) sum += b[k] * a.samples[(p + k) * a.channels];
        if (sum > bestValue) {
            bestValue = sum;
            best = p;
        }
    }
    return best;
}

double rmsDb(const Audio& a, int64_t from, int64_t to) {
    double sum = 0.0;
    for (int64_t i = from * a.channels; i < to * a.channels; ++i) sum += (a.samples[i] / 32768.0) * (a.samples[i] / 32768.0);
    return 10.0 * std::log10(sum / static_cast<double>((to - from) * a.channels));
}

// The number after `label` in a summary.
int64_t numberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + label.size()));
}

TEST_F(StreamTest, OutputIsAlignedWithTheInputForEveryPresetAndRate) {
    struct Case {
        std::string preset;
        int rate;
    };
    std::vector<Case> cases;
    for (int rate : {44100, 48000})
        for (int f = 1; f <= 10; ++f) cases.push_back({std::string(1, 'F').append(std::to_string(f)), rate});
    cases.push_back({"F1", 22050});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.preset << " at " << c.rate << " Hz");
        // 2 s: long enough for the longest delay (F2-F4, 1.58 s) behind the burst at frame 1000.
        const int frames = 2 * c.rate;
        const std::vector<double> b = burst(c.rate);
        std::vector<int16_t> input(static_cast<size_t>(frames) * 2, 0);
        for (size_t k = 0; k < b.size(); ++k)
            input[(1000 + k) * 2] = input[(1000 + k) * 2 + 1] = static_cast<int16_t>(std::lround(b[k] * 16000.0));
        writeFile("in.wav", c.rate, 2, input);

        Result aligned = run({"process", path("in.wav"), path("out.wav"), "--preset", c.preset});
        ASSERT_EQ(aligned.code, 0) << aligned.err;
        Audio out = load("out.wav");
        EXPECT_EQ(out.rate, c.rate);
        EXPECT_EQ(out.frames(), frames);
        EXPECT_NEAR(burstPosition(out, b), 1000, 2);

        Result raw = run({"process", path("in.wav"), path("raw.wav"), "--preset", c.preset, "--keep-latency"});
        ASSERT_EQ(raw.code, 0) << raw.err;
        const int64_t chain = numberAfter(raw.out, "latency: chain ");
        const int64_t latency = c.rate == 44100 ? chain : numberAfter(raw.out, " = ");
        EXPECT_NEAR(latency, std::llround(chain * c.rate / 44100.0), 0);
        EXPECT_NE(raw.out.find("kept (--keep-latency)"), std::string::npos);
        Audio delayed = load("raw.wav");
        EXPECT_EQ(delayed.frames(), frames);
        EXPECT_NEAR(burstPosition(delayed, b), 1000 + latency, 2);
    }
}

TEST_F(StreamTest, OtherRatesComeOutAtTheirOwnRateWithLevelAndFrequency) {
    for (int rate : {48000, 22050}) {
        SCOPED_TRACE(rate);
        const int frames = 3 * rate;
        writeFile("in.wav", rate, 1, tone(frames, 1, rate, 1000.0, -10.0));
        Result r = run({"process", path("in.wav"), path("out.flac"), "--preset", "F10"});
        ASSERT_EQ(r.code, 0) << r.err;
        Audio in = load("in.wav"), out = load("out.flac");
        ASSERT_EQ(out.rate, rate);
        ASSERT_EQ(out.frames(), frames);
        // Away from the ends, where the resampler's filter meets the cut.
        EXPECT_NEAR(rmsDb(out, rate / 2, frames - rate / 2), rmsDb(in, rate / 2, frames - rate / 2), 0.1);
        int crossings = 0;
        for (int64_t n = rate / 2; n < rate / 2 + 2 * rate; ++n)
            crossings += (out.samples[n] < 0) != (out.samples[n + 1] < 0);
        EXPECT_NEAR(crossings, 4000, 1);  // 2 s of 1000 Hz
    }
    // --rate chooses the output's rate; the length follows it.
    writeFile("in.wav", 44100, 2, tone(44100, 2, 44100, 1000.0, -10.0));
    Result r = run({"process", path("in.wav"), path("out.wav"), "--preset", "F10", "--rate", "32000"});
    ASSERT_EQ(r.code, 0) << r.err;
    Audio out = load("out.wav");
    EXPECT_EQ(out.rate, 32000);
    EXPECT_EQ(out.frames(), 32000);
}

TEST_F(StreamTest, PipesWorkWithSoxAndFfmpegInWavAndRaw) {
    const std::string q = tool() + " process - - --preset F1";
    const std::string quiet = " 2>>log.txt";
    // WAV from sox into ffmpeg, WAV from ffmpeg into sox, raw both ways.
    EXPECT_EQ(shell("sox -q -n -r 48000 -c 2 -b 16 -t wav - synth 3 sine 440 vol 0.3 | " + q + quiet +
                    " | ffmpeg -loglevel error -y -f wav -i - a.flac" + quiet),
              0);
    EXPECT_EQ(shell("ffmpeg -loglevel error -f lavfi -i sine=f=440:d=3:r=44100 -ac 2 -f wav - " + quiet + " | " + q +
                    quiet + " | sox -q -t wav - b.wav" + quiet),
              0);
    EXPECT_EQ(shell("sox -q -n -r 22050 -c 1 -b 16 -e signed -t raw - synth 3 sine 440 | " + q +
                    " --raw 22050:1" + quiet + " | sox -q -t raw -r 22050 -c 1 -b 16 -e signed - c.wav" + quiet),
              0);
    EXPECT_EQ(shell("ffmpeg -loglevel error -f lavfi -i sine=f=440:d=3:r=44100 -ac 2 -f s16le - " + quiet + " | " + q +
                    " --raw 44100:2" + quiet + " | ffmpeg -loglevel error -y -f s16le -ar 44100 -ac 2 -i - d.wav" +
                    quiet),
              0);
    // An OUT that is already a pipe (a FIFO) is written as a stream, not replaced.
    EXPECT_EQ(shell("mkfifo fifo.wav && { sox -q --ignore-length -t wav fifo.wav e.wav & } && " + tool() +
                    " process b.wav fifo.wav --preset F10 >>log.txt && wait && test -p fifo.wav"),
              0);
    struct Expect {
        std::string name;
        int rate, channels;
    } expected[] = {{"a.flac", 48000, 2}, {"b.wav", 44100, 2}, {"c.wav", 22050, 1}, {"d.wav", 44100, 2},
                    {"e.wav", 44100, 2}};
    for (const Expect& e : expected) {
        Audio a = load(e.name);
        EXPECT_EQ(a.rate, e.rate) << e.name;
        EXPECT_EQ(a.channels, e.channels) << e.name;
        EXPECT_EQ(a.frames(), 3 * e.rate) << e.name;
        EXPECT_GT(rmsDb(a, e.rate, 2 * e.rate), -20.0) << e.name;  // processed sound, not silence
    }
    const std::string messages = text("log.txt");
    EXPECT_NE(messages.find("standard input -> standard output: 144000 frames"), std::string::npos) << messages;

    // A reader that goes away ends the run at once with status 1.
    writeFile("long.wav", 44100, 2, tone(44100 * 20, 2, 44100, 440.0, -10.0));
    EXPECT_EQ(shell("timeout 60 " + tool() + " process long.wav - 2>closed.txt | head -c 1000 >/dev/null; exit ${PIPESTATUS[0]}"), 1);
    EXPECT_EQ(text("closed.txt"), "quorvex: standard output: Broken pipe\n");
}

// The tool as a child with its standard input and output on pipes.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1;

    Child(const std::vector<std::string>& args, const std::string& errFile) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1], err}) close(fd);
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in = toChild[1];
        out = fromChild[0];
    }
    bool send(const std::vector<int16_t>& samples, size_t from, size_t count) {
        const auto* p = reinterpret_cast<const char*>(samples.data() + from);
        size_t bytes = count * sizeof(int16_t);
        while (bytes > 0) {
            ssize_t n = write(in, p, bytes);
            if (n <= 0) return false;
            p += n;
            bytes -= static_cast<size_t>(n);
        }
        return true;
    }
    // Appends what is ready within `ms` milliseconds; false at end of output.
    bool receive(std::vector<char>& into, int ms) {
        pollfd p{out, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buffer[65536];
        const ssize_t n = read(out, buffer, sizeof buffer);
        if (n <= 0) return false;
        into.insert(into.end(), buffer, buffer + n);
        return true;
    }
    int finish(std::vector<char>& into) {
        if (in >= 0) close(in);
        in = -1;
        while (receive(into, 60000)) {
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(StreamTest, FirstBlocksLeaveWhileTheProducerPauses) {
    // F1 holds back about a second; the producer sends 1.5 s and then waits
    // (up to a minute) for output before it sends the rest.
    const auto input = tone(44100 * 3, 2, 44100, 440.0, -10.0);
    const size_t first = 44100 * 3;  // samples: 1.5 s of stereo
    Child child({tool(), "process", "-", "-", "--raw", "44100:2", "--preset", "F1"}, path("err.txt"));
    ASSERT_GT(child.pid, 0);
    std::atomic<bool> outputSeen{false};
    bool seenDuringPause = false;
    std::thread producer([&] {
        if (!child.send(input, 0, first)) return;
        for (int waited = 0; !outputSeen && waited < 600; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seenDuringPause = outputSeen;
        child.send(input, first, input.size() - first);
        close(child.in);
        child.in = -1;
    });
    std::vector<char> output;
    while (child.receive(output, 60000)) outputSeen = outputSeen || !output.empty();
    producer.join();
    EXPECT_TRUE(seenDuringPause) << "nothing came out while the producer paused";
    EXPECT_EQ(child.finish(output), 0);
    EXPECT_EQ(output.size(), input.size() * sizeof(int16_t));
}

TEST_F(StreamTest, InterruptedRunLeavesNoFile) {
    Child child({tool(), "process", "-", path("out.wav"), "--raw", "44100:2"}, path("err.txt"));
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.send(tone(44100, 2, 44100, 440.0, -10.0), 0, 44100 * 2));
    auto writing = [&] {
        for (const auto& name : filesInDir())
            if (name.rfind(".out.wav.tmp", 0) == 0) return true;
        return false;
    };
    for (int waited = 0; !writing() && waited < 600; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(writing());
    kill(child.pid, SIGINT);
    std::vector<char> ignored;
    child.finish(ignored);
    EXPECT_FALSE(writing());
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(StreamTest, FailuresMidRunEndWithStatusOneAndNoFileWhileTheOtherThreadsWait) {
    // Long enough that the reader is far ahead when the writer fails: both
    // queues are full then. `timeout` turns a hang into status 124.
    writeFile("long.wav", 44100, 2, tone(44100 * 60, 2, 44100, 440.0, -10.0));
    EXPECT_EQ(shell("ulimit -f 1000; trap '' XFSZ; timeout 60 " + tool() + " process long.wav out.wav 2>full.txt"), 1);
    EXPECT_EQ(text("full.txt"), "quorvex: out.wav: System error : File too large.\n");
    EXPECT_EQ(shell("timeout 60 " + tool() + " process long.wav - --rate 48000 2>closed.txt | head -c 1000000 "
                    ">/dev/null; exit ${PIPESTATUS[0]}"),
              1);
    EXPECT_EQ(text("closed.txt"), "quorvex: standard output: Broken pipe\n");

    // The reader fails mid-way: what was read before comes out whole, then the run ends.
    writeFile("bad.flac", 44100, 2, tone(44100 * 20, 2, 44100, 440.0, -10.0), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    {
        std::fstream file(path("bad.flac"), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(fs::file_size(path("bad.flac")) / 2));
        for (int i = 0; i < 65536; ++i) file.put(static_cast<char>(i * 37 % 251));
    }
    EXPECT_EQ(shell("timeout 60 " + tool() + " process bad.flac bad.wav 2>bad.txt"), 1);
    EXPECT_EQ(text("bad.txt"), "quorvex: bad.flac: Error : flac decoder lost sync.\n");
    Audio readable;
    EXPECT_EQ(readAudio(path("bad.flac"), readable).status, IoStatus::IoError);
    EXPECT_GT(readable.frames(), 44100 * 5);
    // Every whole block read before the failure comes out, passed through
    // unchanged by F10; F2, slow, has the queue full when the reader fails.
    for (const std::string preset : {"F10", "F2"}) {
        EXPECT_EQ(shell("timeout 60 " + tool() + " process bad.flac - --keep-latency --preset " + preset +
                        " >part.wav 2>/dev/null"),
                  1);
        const auto part = text("part.wav");
        ASSERT_EQ(static_cast<int64_t>(part.size()), 44 + readable.frames() / 576 * 576 * 4) << preset;
        if (preset == "F10") {
            EXPECT_EQ(part.compare(44, part.npos, reinterpret_cast<const char*>(readable.samples.data()), part.size() - 44),
                      0);
        }
    }
    for (const std::string& name : filesInDir()) EXPECT_EQ(name.find("tmp"), std::string::npos) << name;
    EXPECT_FALSE(fs::exists(path("out.wav")));
    EXPECT_FALSE(fs::exists(path("bad.wav")));
}

TEST_F(StreamTest, FollowSwitchesPresetsMidStream) {
    // F10 passes the tone through untouched; a selection file naming F9
    // (-8, and def: the start-up preset too) switches to the Normalizer while
    // the stream runs in real time.
    const std::string data = path("data");
    fs::create_directories(data);
    const int frames = 44100 * 4, chunk = 4410;
    const auto input = tone(frames, 2, 44100, 1000.0, -20.0);
    Child child({tool(), "process", "-", "-", "--raw", "44100:2", "--preset", "F10", "--follow", "--data-dir", data},
                path("err.txt"));
    ASSERT_GT(child.pid, 0);
    std::vector<char> output;
    int64_t fedAtSwitch = -1;
    std::thread feeder([&] {
        for (int at = 0; at < frames; at += chunk) {
            if (at == 44100) {
                std::ofstream(data + "/select.part") << "-8 def";
                fs::rename(data + "/select.part", data + "/QX_Select.tmp");
                fedAtSwitch = at;
            }
            if (!child.send(input, static_cast<size_t>(at) * 2, static_cast<size_t>(chunk) * 2)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        close(child.in);
        child.in = -1;
    });
    while (child.receive(output, 60000)) {
    }
    feeder.join();
    EXPECT_EQ(child.finish(output), 0);
    EXPECT_FALSE(fs::exists(data + "/QX_Select.tmp"));

    // The switch adds F9's delay of 4095 frames to the stream, which runs on.
    ASSERT_EQ(output.size(), (input.size() + 4095 * 2) * sizeof(int16_t));
    const auto* samples = reinterpret_cast<const int16_t*>(output.data());
    int64_t changed = 0;
    while (changed < frames && samples[changed * 2] == input[changed * 2]) ++changed;
    EXPECT_GE(changed, fedAtSwitch - 44100 / 2);  // pipe buffers may hold a little
    EXPECT_LT(changed, fedAtSwitch + 44100);      // within a second of the file appearing
    Audio tail;
    tail.channels = 2;
    tail.samples.assign(samples + (frames - 44100) * 2, samples + frames * 2);
    EXPECT_GT(rmsDb(tail, 0, 44100), -30.0);  // still the tone, now processed
    const std::string messages = text("err.txt");
    EXPECT_NE(messages.find("switched to 'Normalizer'; latency 4095 frames (92.86 ms), was 0 frames (0.00 ms); "
                            "now the start-up preset\n"),
              std::string::npos)
        << messages;
    EXPECT_NE(run({"presets", "--data-dir", data}).out.find("Default: F9\n"), std::string::npos);
}

TEST_F(StreamTest, RefusalsComeBeforeAnyOutput) {
    writeFile("in.wav", 44100, 2, tone(4410, 2, 44100, 440.0, -10.0));
    writeFile("low.wav", 4000, 2, tone(400, 2, 4000, 440.0, -10.0));
    fs::create_directories(path("sub"));
    fs::create_hard_link(path("in.wav"), path("hard.wav"));
    fs::create_symlink(path("in.wav"), path("soft.wav"));
    ASSERT_EQ(mkfifo(path("fifo.flac").c_str(), 0644), 0);
    auto sortedFiles = [&] {
        auto names = filesInDir();
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto before = sortedFiles();
    struct Case {
        std::vector<std::string> args;
        std::string needle;
    } cases[] = {
        {{path("in.wav"), path("in.wav")}, "is the input file"},
        {{path("in.wav"), path("sub/../in.wav")}, "is the input file"},
        {{path("in.wav"), path("hard.wav")}, "is the input file"},
        {{path("soft.wav"), path("in.wav")}, "is the input file"},
        {{path("in.wav"), path("out.mp3")}, "unknown output format 'mp3'"},
        {{path("in.wav"), path("out")}, "unknown output format"},
        {{path("in.wav"), path("fifo.flac")}, "a pipe or device takes WAV or raw PCM only"},
        {{path("in.wav"), path("out.wav"), "--keep-latncy"}, "unknown option '--keep-latncy'"},
        {{path("in.wav"), path("out.wav"), "--raw", "44100"}, "RATE:CHANNELS"},
        {{path("in.wav"), path("out.wav"), "--raw", "44100:3"}, "mono and stereo"},
        {{path("in.wav"), path("out.wav"), "--rate", "44.1k"}, "--rate 44.1k"},
        {{path("in.wav"), path("out.wav"), "--rate", "500000"}, "8000 to 384000"},
        {{path("low.wav"), path("out.wav")}, "sample rate 4000 Hz"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"process"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = run(args);
        EXPECT_EQ(r.code, 2) << c.needle;
        EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_EQ(sortedFiles(), before);
    // Standard output redirected into the input file is the same file too.
    EXPECT_EQ(shell(tool() + " process in.wav - >>in.wav 2>err.txt"), 2);
}

TEST_F(StreamTest, LoudnessMeterMatchesTheLibrarysWholeProgramMeasurement) {
    // Steps of level, fed in blocks that do not fit the 100 ms grid; at a rate
    // whose 100 ms is a whole number of frames, and at one where it is not.
    for (int rate : {44100, 11025}) {
        std::vector<int16_t> program;
        for (double db : {-30.0, -12.0, -45.0, -20.0, -80.0, -16.0}) {
            auto part = tone(rate * 4, 2, rate, 700.0 + db * 3.0, db);
            program.insert(program.end(), part.begin(), part.end());
        }
        LoudnessMeter meter(rate, usualLayout(2));
        for (size_t at = 0; at < program.size() / 2; at += 577)
            meter.add(program.data() + at * 2, std::min<int64_t>(577, static_cast<int64_t>(program.size() / 2 - at)));
        const Loudness mine = meter.result();
        ebur128_state* st = ebur128_init(2, static_cast<unsigned long>(rate), EBUR128_MODE_I | EBUR128_MODE_LRA);
        ebur128_add_frames_short(st, program.data(), program.size() / 2);
        double integrated = 0.0, range = 0.0;
        ebur128_loudness_global(st, &integrated);
        ebur128_loudness_range(st, &range);
        ebur128_destroy(&st);
        SCOPED_TRACE(rate);
        ASSERT_TRUE(mine.valid);
        EXPECT_NEAR(mine.integratedLufs, integrated, 0.005);
        EXPECT_NEAR(mine.rangeLu, range, 0.01);
        EXPECT_GT(range, 10.0);  // the steps do spread the range
    }
}

TEST(TruePeak, MatchesTheLibrarysValueExactly) {
    // Quarter-rate tones at 45 degrees overshoot between samples, under a
    // little noise; pieces of odd sizes cross the meter's chunks.
    struct Case {
        int rate;
        unsigned channels;
        bool doubles;
    };
    for (const Case& k : {Case{44100, 2, false}, Case{48000, 1, true}, Case{96000, 3, true}, Case{192000, 2, true}}) {
        const int frames = 20000;
        std::vector<double> program(static_cast<size_t>(frames) * k.channels);
        std::vector<int16_t> shorts(program.size());
        uint32_t noise = 12345;
        for (size_t i = 0; i < program.size(); ++i) {
            noise = noise * 1103515245u + 12345u;
            const double n = static_cast<double>(noise >> 16) / 65536.0 - 0.5;
            const double level = 0.97 - 0.2 * static_cast<double>(i % k.channels);
            program[i] = level * std::sin(M_PI / 2 * static_cast<double>(i / k.channels) + M_PI / 4) + 0.01 * n;
            shorts[i] = static_cast<int16_t>(std::lrint(program[i] * 32767.0));
        }
        if (k.doubles) program[program.size() / 2] = NAN;  // never wins, in neither meter
        TruePeakMeter mine(k.rate, k.channels);
        ebur128_state* st =
            ebur128_init(k.channels, static_cast<unsigned long>(k.rate), EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_SAMPLE_PEAK);
        for (size_t at = 0, piece = 1; at < static_cast<size_t>(frames); at += piece, piece = piece * 7 % 601 + 1) {
            const size_t n = std::min(piece, static_cast<size_t>(frames) - at);
            if (k.doubles) {
                mine.add(program.data() + at * k.channels, n);
                ebur128_add_frames_double(st, program.data() + at * k.channels, n);
            } else {
                mine.add(shorts.data() + at * k.channels, n);
                ebur128_add_frames_short(st, shorts.data() + at * k.channels, n);
            }
        }
        double theirs = 0.0, samplePeak = 0.0;
        for (unsigned c = 0; c < k.channels; ++c) {
            double tp = 0.0, sp = 0.0;
            ebur128_true_peak(st, c, &tp);
            ebur128_sample_peak(st, c, &sp);
            theirs = std::max(theirs, tp);
            samplePeak = std::max(samplePeak, sp);
        }
        ebur128_destroy(&st);
        SCOPED_TRACE(k.rate);
        EXPECT_EQ(mine.truePeak(), theirs);
        EXPECT_EQ(mine.samplePeak(), samplePeak);
        if (k.rate < 192000)
            EXPECT_GT(theirs, samplePeak + 0.01);  // the overshoot is what was measured
        else
            EXPECT_EQ(theirs, samplePeak);  // not oversampled: the sample peak stands
    }
}

}  // namespace
}  // namespace qx::cli
