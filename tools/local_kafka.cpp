// brennic-local-kafka: a Kafka cluster for tests and demonstrations, built on librdkafka's mock
// cluster, which speaks the real protocol over loopback. It starts three brokers, creates the
// notification topic, prints "bootstrap <list>", then prints every message that arrives on the
// topic, one line each, until SIGINT or SIGTERM.
#include <atomic>
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <librdkafka/rdkafkacpp.h>

namespace {

std::atomic<bool> stopping{false};
extern "C" void on_signal(int) { stopping = true; }

struct KafkaDeleter {
    void operator()(rd_kafka_t* handle) const { rd_kafka_destroy(handle); }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Local Kafka cluster for brennic's scan notifications", "brennic-local-kafka"};
    std::string topic = "Calyxo1";
    std::string bootstrap_file;
    int brokers = 3;
    app.add_option("--topic", topic, "topic to create and print")->capture_default_str();
    app.add_option("--brokers", brokers, "number of brokers")->capture_default_str();
    app.add_option("--bootstrap-file", bootstrap_file, "also write the bootstrap list here");
    CLI11_PARSE(app, argc, argv);

    char reason[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    // The mock cluster lives inside this otherwise unused producer handle.
    if (rd_kafka_conf_set(conf, "log_level", "3", reason, sizeof reason) != RD_KAFKA_CONF_OK) {
        std::cerr << reason << '\n';
        return 1;
    }
    std::unique_ptr<rd_kafka_t, KafkaDeleter> host(
        rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason));
    if (!host) {
        std::cerr << "brennic-local-kafka: " << reason << '\n';
        return 1;
    }
    rd_kafka_mock_cluster_t* cluster = rd_kafka_mock_cluster_new(host.get(), brokers);
    if (!cluster) {
        std::cerr << "brennic-local-kafka: cannot start the mock cluster\n";
        return 1;
    }
    rd_kafka_mock_topic_create(cluster, topic.c_str(), 1, brokers < 3 ? brokers : 3);
    const std::string bootstrap = rd_kafka_mock_cluster_bootstraps(cluster);

    std::string error;
    std::unique_ptr<RdKafka::Conf> consumer_conf(RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL));
    consumer_conf->set("bootstrap.servers", bootstrap, error);
    consumer_conf->set("group.id", "brennic-local-kafka", error);
    consumer_conf->set("enable.auto.commit", "false", error);
    consumer_conf->set("log_level", "3", error);
    std::unique_ptr<RdKafka::KafkaConsumer> consumer(
        RdKafka::KafkaConsumer::create(consumer_conf.get(), error));
    if (!consumer) {
        std::cerr << "brennic-local-kafka: consumer: " << error << '\n';
        rd_kafka_mock_cluster_destroy(cluster);
        return 1;
    }
    std::unique_ptr<RdKafka::TopicPartition> partition(
        RdKafka::TopicPartition::create(topic, 0, RdKafka::Topic::OFFSET_BEGINNING));
    std::vector<RdKafka::TopicPartition*> partitions{partition.get()};
    consumer->assign(partitions);

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::cout << "bootstrap " << bootstrap << std::endl;
    if (!bootstrap_file.empty()) {
        std::ofstream(bootstrap_file) << bootstrap << '\n';
    }
    while (!stopping) {
        std::unique_ptr<RdKafka::Message> message(consumer->consume(200));
        if (message->err() == RdKafka::ERR_NO_ERROR) {
            std::cout << std::string(static_cast<const char*>(message->payload()), message->len())
                      << std::endl;
        }
    }
    consumer->close();
    consumer.reset();
    rd_kafka_mock_cluster_destroy(cluster);
    return 0;
}
