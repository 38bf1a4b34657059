// Hand-built crash reports for the reader's and formatter's tests: the generated message structures,
// filled in place and packed with protobuf-c behind the file header.
#pragma once

#include "crashreporter/crsh.pb-c.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace crashtest {

// Owns every part of one report; the parts stay where they are while the builder lives.
class ReportBuilder {
public:
    ReportBuilder()
    {
        crsh__crash_report__init(&report);
        crsh__crash_report__system_info__init(&system);
        system.has_operating_system = 1;
        system.operating_system = CRSH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS;
        system.os_version = text("9.3");
        system.architecture = CRSH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
        system.timestamp = 1700000000; // 2023-11-14 22:13:20 UTC
        report.system_info = &system;
        crsh__crash_report__application_info__init(&application);
        application.identifier = text("com.example.app");
        application.version = text("1.2");
        report.application_info = &application;
        crsh__crash_report__signal__init(&signal);
        signal.name = text("SIGSEGV");
        signal.code = text("SEGV_MAPERR");
        signal.address = 0x10;
        report.signal = &signal;
    }
    ReportBuilder(const ReportBuilder&) = delete;
    ReportBuilder& operator=(const ReportBuilder&) = delete;

    char* text(const std::string& value) { return m_texts.emplace_back(value).data(); }

    Crsh__CrashReport__Processor* processor(std::uint64_t type, std::uint64_t subtype, bool mach = true)
    {
        Crsh__CrashReport__Processor& p = m_processors.emplace_back();
        crsh__crash_report__processor__init(&p);
        p.has_encoding = 1;
        p.encoding = mach ? CRSH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH
                          : CRSH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_UNKNOWN;
        p.type = type;
        p.subtype = subtype;
        return &p;
    }

    Crsh__CrashReport__Thread* addThread(std::uint32_t number, bool crashed)
    {
        Crsh__CrashReport__Thread& t = m_threads.emplace_back();
        crsh__crash_report__thread__init(&t);
        t.thread_number = number;
        t.crashed = crashed;
        m_threadPointers.push_back(&t);
        report.threads = m_threadPointers.data();
        report.n_threads = m_threadPointers.size();
        return &t;
    }

    Crsh__CrashReport__Thread__StackFrame* frame(std::uint64_t pc, const char* symbol = nullptr, std::uint64_t start = 0)
    {
        Crsh__CrashReport__Thread__StackFrame& f = m_frames.emplace_back();
        crsh__crash_report__thread__stack_frame__init(&f);
        f.pc = pc;
        if (symbol != nullptr) {
            Crsh__CrashReport__Symbol& s = m_symbols.emplace_back();
            crsh__crash_report__symbol__init(&s);
            s.name = text(symbol);
            s.start_address = start;
            f.symbol = &s;
        }
        return &f;
    }

    // Frames and registers of a thread (or of the exception), kept in arrays of their own.
    void setFrames(Crsh__CrashReport__Thread* thread, std::vector<Crsh__CrashReport__Thread__StackFrame*> frames)
    {
        auto& kept = m_frameArrays.emplace_back(std::move(frames));
        thread->frames = kept.data();
        thread->n_frames = kept.size();
    }
    void setRegisters(Crsh__CrashReport__Thread* thread, const std::vector<std::pair<std::string, std::uint64_t>>& registers)
    {
        auto& kept = m_registerArrays.emplace_back();
        for (const auto& [name, value] : registers) {
            Crsh__CrashReport__Thread__RegisterValue& r = m_registers.emplace_back();
            crsh__crash_report__thread__register_value__init(&r);
            r.name = text(name);
            r.value = value;
            kept.push_back(&r);
        }
        thread->registers = kept.data();
        thread->n_registers = kept.size();
    }

    Crsh__CrashReport__BinaryImage* addImage(std::uint64_t base, std::uint64_t size, const std::string& name,
                                             Crsh__CrashReport__Processor* codeType = nullptr)
    {
        Crsh__CrashReport__BinaryImage& i = m_images.emplace_back();
        crsh__crash_report__binary_image__init(&i);
        i.base_address = base;
        i.size = size;
        i.name = text(name);
        i.code_type = codeType;
        m_imagePointers.push_back(&i);
        report.binary_images = m_imagePointers.data();
        report.n_binary_images = m_imagePointers.size();
        return &i;
    }
    void setUUID(Crsh__CrashReport__BinaryImage* image, const std::vector<std::uint8_t>& bytes)
    {
        auto& kept = m_bytes.emplace_back(bytes);
        image->has_uuid = 1;
        image->uuid.data = kept.data();
        image->uuid.len = kept.size();
    }

    Crsh__CrashReport__ReportInfo* addReportInfo(const std::vector<std::uint8_t>& uuid)
    {
        crsh__crash_report__report_info__init(&reportInfo);
        auto& kept = m_bytes.emplace_back(uuid);
        reportInfo.has_uuid = 1;
        reportInfo.uuid.data = kept.data();
        reportInfo.uuid.len = kept.size();
        report.report_info = &reportInfo;
        return &reportInfo;
    }

    Crsh__CrashReport__MachineInfo* addMachineInfo(const char* model, Crsh__CrashReport__Processor* processor)
    {
        crsh__crash_report__machine_info__init(&machine);
        machine.model = model != nullptr ? text(model) : nullptr;
        machine.processor = processor;
        machine.processor_count = 2;
        machine.logical_processor_count = 4;
        report.machine_info = &machine;
        return &machine;
    }

    Crsh__CrashReport__ProcessInfo* addProcessInfo(const char* name, std::uint32_t pid, const char* path)
    {
        crsh__crash_report__process_info__init(&process);
        process.process_name = name != nullptr ? text(name) : nullptr;
        process.process_id = pid;
        process.process_path = path != nullptr ? text(path) : nullptr;
        process.parent_process_name = text("launcher");
        process.parent_process_id = 1;
        process.native = 1;
        report.process_info = &process;
        return &process;
    }

    Crsh__CrashReport__Exception* addException(const char* name, const char* reason,
                                               std::vector<Crsh__CrashReport__Thread__StackFrame*> frames = {})
    {
        crsh__crash_report__exception__init(&exception);
        exception.name = text(name);
        exception.reason = text(reason);
        auto& kept = m_frameArrays.emplace_back(std::move(frames));
        exception.frames = kept.data();
        exception.n_frames = kept.size();
        report.exception = &exception;
        return &exception;
    }

    void setMachCodes(std::uint64_t type, std::size_t count)
    {
        crsh__crash_report__signal__mach_exception__init(&mach);
        mach.type = type;
        m_machCodes.assign(count, 0x101);
        mach.codes = m_machCodes.data();
        mach.n_codes = m_machCodes.size();
        signal.mach_exception = &mach;
    }

    // "crshlog", version 1, the packed message.
    platform::Bytes bytes(std::uint8_t version = 1) const
    {
        platform::Bytes out{'c', 'r', 's', 'h', 'l', 'o', 'g', version};
        std::size_t size = crsh__crash_report__get_packed_size(&report);
        out.resize(8 + size);
        crsh__crash_report__pack(&report, out.data() + 8);
        return out;
    }

    Crsh__CrashReport report;
    Crsh__CrashReport__SystemInfo system;
    Crsh__CrashReport__ApplicationInfo application;
    Crsh__CrashReport__Signal signal;
    Crsh__CrashReport__Signal__MachException mach;
    Crsh__CrashReport__ReportInfo reportInfo;
    Crsh__CrashReport__MachineInfo machine;
    Crsh__CrashReport__ProcessInfo process;
    Crsh__CrashReport__Exception exception;

private:
    std::deque<std::string> m_texts;
    std::deque<Crsh__CrashReport__Processor> m_processors;
    std::deque<Crsh__CrashReport__Thread> m_threads;
    std::vector<Crsh__CrashReport__Thread*> m_threadPointers;
    std::deque<Crsh__CrashReport__Thread__StackFrame> m_frames;
    std::deque<Crsh__CrashReport__Symbol> m_symbols;
    std::deque<std::vector<Crsh__CrashReport__Thread__StackFrame*>> m_frameArrays;
    std::deque<Crsh__CrashReport__Thread__RegisterValue> m_registers;
    std::deque<std::vector<Crsh__CrashReport__Thread__RegisterValue*>> m_registerArrays;
    std::deque<Crsh__CrashReport__BinaryImage> m_images;
    std::vector<Crsh__CrashReport__BinaryImage*> m_imagePointers;
    std::deque<std::vector<std::uint8_t>> m_bytes;
    std::vector<std::uint64_t> m_machCodes;
};

// The smallest report the reader takes: one bare thread and one image.
inline void addMinimalParts(ReportBuilder& builder)
{
    builder.addThread(0, false);
    builder.addImage(0x1000, 0x1000, "/usr/lib/one.so");
}

} // namespace crashtest
