#pragma once
// Job progress of replication pairs. Each report is appended to the outbox
// file (<install directory>/outbox.jsonl) as one JSON object on one line,
// written with one write() on a descriptor opened with O_APPEND, so reports
// of several processes never interleave. `flr jobs` reads the latest state
// of each job back (readOutbox). Nothing here pretends to talk to a server.
#include <map>
#include <string>

class JXZrpJobClient {
  public:
    // One job's state as reported.
    struct State {
        unsigned long long job = 0;
        int pair = -1;
        std::string server;
        std::string state;  // "running" or "complete"
        std::string time;   // UTC, ISO 8601
        long long filesToTransfer = 0;
        long long bytesToTransfer = 0;
        long long filesTransferred = 0;
        long long bytesTransferred = 0;
        std::string currentFile;
    };

    JXZrpJobClient() = default;
    // Reports totals set since the last updateInfo (as "running"); never throws.
    virtual ~JXZrpJobClient();
    JXZrpJobClient(const JXZrpJobClient&) = delete;
    JXZrpJobClient& operator=(const JXZrpJobClient&) = delete;

    // Opens the outbox for appending. 0, or -1 with errno set.
    int init(const std::string& serverName, int platformType);
    void setPairId(int pairId);
    // The pair's job number (kept with the pair; a new one the first time);
    // 0 when the pair is not configured.
    unsigned long long getJobIdByPairId(int pairId);
    // Continues from the job's last report in the outbox: totals and the
    // counts transferred so far. 0, or -1 when no job is chosen.
    int retrieveState();
    // Totals to transfer (absolute).
    void setDataToTransfer(long long bytes);
    void setNumberOfFilesToTransfer(long long files);
    // Amounts transferred since the last updateInfo; updateInfo adds them up.
    void setDataTransfered(long long bytes);
    void setNumberOfTransferedFiles(long long files);
    void setCurrentFile(const std::string& path);
    // Appends the state. `complete` marks the job ended. *stop (when given)
    // says whether the job was asked to stop; nothing asks that here, so it
    // is false. 0, or -1 when the line could not be written whole.
    int updateInfo(bool complete, bool* stop);

    const State& state() const { return state_; }

    static std::string outboxPath();
    // The JSON line of a state, without the line feed.
    static std::string toJson(const State& s);
    // A JSON string literal of any bytes (non-UTF-8 bytes as \u00XX).
    static std::string quoteJson(const std::string& text);
    // Parses a line that toJson wrote; false for any other line.
    static bool fromJson(const std::string& line, State& s);
    // The latest state of every job in the outbox, by job number; lines
    // that are not job reports are skipped.
    static std::map<unsigned long long, State> readOutbox(const std::string& path);

  private:
    int fd_ = -1;
    bool dirty_ = false;
    State state_;
    long long pendingFiles_ = 0;
    long long pendingBytes_ = 0;
};

// Appends one line to the outbox with a single write(); 0, or -1 with errno.
int jxAppendOutboxLine(const std::string& line);
// The current UTC time, ISO 8601.
std::string jxUtcNow();
