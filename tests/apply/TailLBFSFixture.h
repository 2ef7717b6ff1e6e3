#pragma once
// A scripted LBFS head for the tail tests: announces files as fixed-size
// blocks with their SHA-256 on its main connection and answers the tail's
// block requests on a second connection, as the real head's block thread
// does. Block lists need not come from the content-defined chunker: the tail
// only checks that blocks tile the file and match their hashes.
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "FLR/FlrFid.h"
#include "TailApplyFixture.h"
#include "digest/JxLBFS.h"
#include "digest/Jxc.h"

namespace tailtest {

// Fixed pieces, or (piece 0) the content-defined chunker the real head uses.
inline std::list<JxLBFS::HashBlock> cutBlocks(const std::string& content, size_t piece = 4096) {
    std::list<JxLBFS::HashBlock> blocks;
    if (piece == 0) {
        JxLBFS::Chunker chunker(
            [](const JxLBFS::HashBlock& b, void* out) {
                static_cast<std::list<JxLBFS::HashBlock>*>(out)->push_back(b);
            },
            &blocks);
        chunker.feed(content.data(), content.size());
        chunker.finish();
        return blocks;
    }
    for (size_t at = 0; at < content.size(); at += piece) {
        JxLBFS::HashBlock b;
        b.block.offset = at;
        b.block.length = static_cast<uint32_t>(std::min(piece, content.size() - at));
        Jxc::sha256(content.data() + at, b.block.length, b.hash);
        blocks.push_back(b);
    }
    return blocks;
}

struct LBFSHead {
    // What the head does with one requested block.
    enum class Fault { None, WrongData, WrongOffset, Withhold, ShortPiece };

    FlrNetHead net;
    std::unique_ptr<FlrNetHead> blockLink;
    // Head-side path -> content, for answering requests.
    std::map<std::string, std::string> files;
    // Head-side path -> fault applied to its first requested block.
    std::map<std::string, Fault> faults;
    // Block offsets requested per head-side path (a requested range counts
    // every announced block it covers), and the raw request strings.
    std::map<std::string, std::set<uint64_t>> requested;
    std::map<std::string, std::list<JxLBFS::HashBlock>> announced;
    std::map<std::string, std::string> requestFid;
    long long blocksAsked = 0;
    long long rangesAsked = 0;  // request entries
    bool stopEchoed = false;

    explicit LBFSHead(int port) {
        net.connect("127.0.0.1", port, 0);
        blockLink.reset(net.dup());
    }

    // MIR_HEADER (LBFS), LBFS_START chunks, MIR_EOF. headPath defaults to the
    // destination path (the tail only echoes it).
    void announce(const std::string& path, const std::string& content, std::string headPath = "",
                  size_t piece = 4096) {
        if (headPath.empty()) headPath = path;
        files[headPath] = content;
        net.sendMirHeader(header(path, S_IFREG | 0644, content.size(), FlrNetMirHeader::kLBFS));
        fsf_fid fid{};
        announced[headPath] = cutBlocks(content, piece);
        net.sendLBFSStart(headPath.c_str(), fid, announced[headPath]);
        net.sendMirEOF();
    }

    // Sends LBFS_STOP and answers block requests until the tail echoes it;
    // then pings, so everything is settled when it returns.
    void finish() {
        net.sendLBFSStop();
        FlrNetMessage m;
        while (!stopEchoed) {
            if (net.recvMessage(&m, 30) != 0) break;
            if (m.type == FLR_NET_LBFS_STOP) stopEchoed = true;
            if (m.type == FLR_NET_LBFS_BLOCK_REQ) answer(m.lbfsBlockReq);
        }
        blockLink->flush(30);
        net.ping();
    }

    void answer(const FlrNetLBFSBlockReq& req) {
        const std::string path = req.str1 ? req.str1 : "";
        requestFid[path] = req.str2 ? req.str2 : "";
        const std::string& content = files[path];
        for (int i = 0; i < req.count; ++i) {
            JxLBFS::Block b;
            b.offset = req.offsetAt(i);
            b.length = req.lengthAt(i);
            ++rangesAsked;
            for (const JxLBFS::HashBlock& a : announced[path])
                if (a.block.offset >= b.offset && a.block.offset < b.offset + b.length) {
                    requested[path].insert(a.block.offset);
                    ++blocksAsked;
                }
            // A file announced without content (a test's hostile list) has
            // nothing to give.
            if (b.offset + b.length > content.size()) continue;
            std::string data = content.substr(b.offset, b.length);
            Fault fault = Fault::None;
            if (auto f = faults.find(path); f != faults.end()) {
                fault = f->second;
                faults.erase(f);  // first block only
            }
            if (fault == Fault::Withhold) continue;
            if (fault == Fault::WrongData) data[0] = static_cast<char>(data[0] ^ 0x5a);
            if (fault == Fault::WrongOffset) b.offset += 1;
            if (fault == Fault::ShortPiece) b.length -= 1;  // ends inside a block
            blockLink->sendLBFSBlock(req.value, b, data.data());
        }
        if (req.last) blockLink->sendLBFSDone(req.value);
    }
};

}  // namespace tailtest
