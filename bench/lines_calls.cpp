// Per-call cost of the named API's natives from C++ (no JVM in between), on
// a pseudo-terminal: what the natives add on each call's path beside the
// system calls beneath. Run under callgrind for instructions, which repeat
// where time does not.
//
// usage: lines_calls MODE DEVICE COUNT
//   MODE    available: COUNT calls of available(); write1: COUNT one-byte
//           writes (the far end must drain DEVICE's peer); read-empty: COUNT
//           reads of nothing, each timing out at once
// Prints "MODE NS": the mean ns per call.
#include "ruvek_LineNatives.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A JNIEnv with the few functions the natives use; a jbyteArray is a std::vector<jbyte>.
std::vector<jbyte> &vec(jarray a) { return *reinterpret_cast<std::vector<jbyte> *>(a); }
jsize JNICALL length(JNIEnv *, jarray a) { return (jsize)vec(a).size(); }
void JNICALL getRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, jbyte *out) { std::memcpy(out, vec(a).data() + off, n); }
void JNICALL setRegion(JNIEnv *, jbyteArray a, jsize off, jsize n, const jbyte *in) { std::memcpy(vec(a).data() + off, in, n); }
jboolean JNICALL noException(JNIEnv *) { return JNI_FALSE; }

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: lines_calls available|write1|read-empty DEVICE COUNT\n");
        return 2;
    }
    std::string mode = argv[1];
    long count = atol(argv[3]);
    JNINativeInterface_ table = {};
    table.GetArrayLength = length;
    table.GetByteArrayRegion = getRegion;
    table.SetByteArrayRegion = setRegion;
    table.ExceptionCheck = noException;
    JNIEnv env;
    env.functions = &table;
    std::vector<jbyte> name(argv[2], argv[2] + strlen(argv[2]) + 1);
    jlong line = Java_ruvek_LineNatives_open(&env, nullptr, reinterpret_cast<jbyteArray>(&name), 115200, 8, 0, 0, 0, 0);
    if (line <= 0) {
        fprintf(stderr, "cannot open %s: %lld\n", argv[2], (long long)line);
        return 1;
    }
    std::vector<jbyte> one(1, 'x');
    jbyteArray b = reinterpret_cast<jbyteArray>(&one);
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; i++) {
        jint r = mode == "available" ? Java_ruvek_LineNatives_available(&env, nullptr, line)
                 : mode == "write1"  ? Java_ruvek_LineNatives_write(&env, nullptr, line, b, 0, 1)
                                     : Java_ruvek_LineNatives_read(&env, nullptr, line, b, 0, 1, 1);
        if (r < 0) {
            fprintf(stderr, "%s failed: %d\n", mode.c_str(), (int)r);
            return 1;
        }
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    Java_ruvek_LineNatives_close(&env, nullptr, line);
    printf("%s %.1f\n", mode.c_str(), ns / (double)count);
    return 0;
}
